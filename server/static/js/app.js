// Start-up: start the engine, then keep the views fresh by polling; when the
// server goes away, say so and pick up again when it is back.
(function () {
  "use strict";
  var S = FV.soap, U = FV.ui, D = FV.devices;
  var stopRequested = false;
  var engine = { errorcode: null };

  var STARTUP_WORDS = {
    1: "The engine could not start: its configuration file (cfg/define.ecf beside the server) is damaged or missing. " +
       "Restore or rewrite it, then restart the server.",
    2: "The engine could not start: the discovery port is taken by another program on the server's machine. " +
       "Close that program (or another copy of this server), then restart the server."
  };

  function setPill(selector, text, kind) { $(selector).text(text).attr("class", "pill" + (kind ? " " + kind : "")); }

  function startEngine() {
    setPill("#engine-state", "Engine: starting…");
    return S.call("EngineLayerStartup", { nUserID: 0, strUserName: "" }).then(function (el) {
      var code = S.number(el, "errorcode");
      engine.errorcode = code;
      if (code === 0) {
        setPill("#engine-state", "Engine running", "ok");
        $("#engine-msg").removeClass("shown").text("");
      } else {
        setPill("#engine-state", "Engine stopped", "bad");
        $("#engine-msg").addClass("shown").text(STARTUP_WORDS[code] || "The engine could not start (error " + code + ").");
      }
      return code;
    }, function (err) {
      if (err.kind === "fault") {
        engine.errorcode = -1;
        setPill("#engine-state", "Engine failed", "bad");
        $("#engine-msg").addClass("shown").text("The engine started but could not prepare its device lists: " + err);
      }
      throw err;
    });
  }

  // Everything the page shows, fetched again (after start-up or an outage).
  function reload() {
    return startEngine().then(function () {
      return FV.settings.read();
    }).then(function () {
      return D.recount();
    }).then(function () {
      return D.refreshAll();
    }).catch(function () { /* the banner tells; the next recovery retries */ });
  }

  function onReach(state, before) {
    if (state === "down") {
      setPill("#server-state", "Server: unreachable", "bad");
      // Nothing the page showed is known to hold any more.
      engine.errorcode = null;
      setPill("#engine-state", "Engine: unknown");
      D.markUnknown();
      $("#banner").addClass("shown").text(stopRequested ?
        "The server was stopped. Start it again (the loader, or scripts/run.sh); this page reconnects by itself." :
        "The server at " + location.host + " cannot be reached. Retrying every 2 seconds…");
    } else if (state === "up") {
      setPill("#server-state", "Server: connected", "ok");
      $("#banner").removeClass("shown").text("");
      if (before === "down") {
        // A server that comes back is usually a new process: its engine
        // waits to be started again and its lists are new.
        stopRequested = false;
        reload();
      }
    }
  }

  var monitorPoller = new U.Poller(function () {
    if (S.reach.state !== "up") return null;
    return D.pollMonitor();
  }, function () { return FV.settings.refreshMs(); });

  function boot() {
    S.onReach(onReach);
    $("nav.tabs").on("click", "button", function () { U.showTab($(this).attr("data-tab")); });
    D.init();
    FV.details.init();
    FV.operations.init();
    FV.traps.init();
    FV.events.init();
    FV.upgrade.init();
    FV.files.init();
    FV.settings.init();
    FV.console.init();
    FV.feed.init();
    reload().then(function () { monitorPoller.start(FV.settings.refreshMs()); });
  }

  FV.app = {
    engine: engine, reload: reload, monitorPoller: monitorPoller,
    expectStop: function () { stopRequested = true; }
  };
  $(boot);
})();
