// The two engine intervals and stopping the server.
(function () {
  "use strict";
  var S = FV.soap, U = FV.ui;
  var refreshSeconds = 15;

  function read() {
    return S.call("GetRefreshTime", { nUserID: 0, strUserName: "" }).then(function (el) {
      refreshSeconds = S.number(el, "monitorPollingInterval") || refreshSeconds;
      $("#refresh-interval").val(refreshSeconds);
      return S.call("GetUtilityGroupInterval", { nUserID: 0, strUserName: "" });
    }).then(function (el) {
      $("#group-interval").val(S.number(el, "groupInterval"));
      // Saving before both values are known would send a half-empty form.
      $("#settings-save").prop("disabled", false);
    });
  }

  function save() {
    var r = $.trim($("#refresh-interval").val()), g = $.trim($("#group-interval").val());
    function bad(v) { return !/^\d+$/.test(v) || +v < 1 || +v > 86400; }
    if (bad(r) || bad(g)) { U.message("#settings-message", "Both intervals are whole seconds from 1 to 86400.", "fault"); return; }
    S.call("SetRefreshTime", { monitorPollingInterval: +r }).then(function () {
      return S.call("SetUtilityGroupInterval", { groupInterval: +g });
    }).then(function () {
      refreshSeconds = +r;
      FV.app.monitorPoller.now();
      U.message("#settings-message", "Saved.", "ok");
    }, function (err) { U.message("#settings-message", "Not saved: " + err, "fault"); });
  }

  function stopServer() {
    U.confirm("Stop the server?", "Watching, traps and upgrades stop until the server is started again. " +
      "This page waits for it to come back.", "Stop the server").then(function (yes) {
      if (!yes) return;
      FV.app.expectStop();
      S.call("GSoapClose", { nUserID: 0, username: "" }, { expectNoAnswer: true, timeout: 5000 }).catch(function () {});
    });
  }

  function init() {
    $("#settings-save").on("click", save);
    $("#stop-server").on("click", stopServer);
  }

  FV.settings = { init: init, read: read, refreshMs: function () { return Math.max(1, refreshSeconds) * 1000; } };
})();
