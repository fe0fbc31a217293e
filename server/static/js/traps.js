// Traps, from the server's event history: on opening, the newest stored
// ones; then every new one as the feed brings it. Another page or a command
// line reading them takes none away from this one.
(function () {
  "use strict";
  var U = FV.ui, E = FV.feed;
  var MAX_KEPT = 5000;
  var HISTORY = 500;
  var traps = [];        // newest first
  var unseen = 0;
  var historyError = "";
  var loaded = false;    // the stored traps have been read (or could not be)

  function trapOf(e) {
    var f = e.fields;
    return { id: e.id, time: E.localTime(e.time), ip: e.address, mac: E.serviceMac(e.mac),
      text: typeof f.message === "string" ? f.message : e.text, location: typeof f.location === "string" ? f.location : "" };
  }

  // The stored traps up to the feed's start; those the feed brought
  // meanwhile are newer and stay in front.
  function loadHistory(cursor) {
    traps = [];
    historyError = "";
    loaded = false;
    render();
    if (!cursor) { loaded = true; return; }
    E.get({ kind: "trap", before: cursor + 1, limit: HISTORY }).then(function (answer) {
      traps = traps.concat(answer.list.map(trapOf)).slice(0, MAX_KEPT);
      loaded = true;
      render();
    }, function (err) {
      historyError = "The traps received before this page opened cannot be read: " + E.why(err) + ".";
      loaded = true;
      render();
    });
  }

  function render() {
    var h = U.escapeHtml;
    $("#trap-rows").html(traps.slice(0, 500).map(function (t) {
      return "<tr data-id='" + t.id + "'><td class='mono'>" + h(t.time) + "</td><td class='mono'>" + h(t.ip) + "</td><td>" +
        h(t.text) + "</td><td>" + h(t.location) + "</td></tr>";
    }).join(""));
    $("#trap-empty").prop("hidden", traps.length > 0 || !!E.state.error);
    $("#trap-count").text(traps.length ? traps.length + (traps.length === 1 ? " trap" : " traps") +
      (traps.length > 500 ? " (the newest 500 shown)" : "") : "");
    $("#trap-badge").text(unseen ? String(unseen) : "");
    // The list is current only while the feed can be read: say so when not.
    var problem = E.state.error ? "New traps cannot be read: " + E.state.error + ". The list shows what came before; " +
      "retrying every second." : historyError;
    $("#trap-feed").text(problem).prop("hidden", !problem);
  }

  var renderSoon = U.coalesce(function () { render(); });

  function init() {
    U.onTab(function (name) { if (name === "traps") { unseen = 0; render(); } });
    $("#traps-clear").on("click", function () { traps = []; unseen = 0; render(); });
    E.onStart(loadHistory);
    E.onState(render);
    E.on("trap", function (e) {
      traps.unshift(trapOf(e));
      if (traps.length > MAX_KEPT) traps.length = MAX_KEPT;
      if (U.currentTab() !== "traps") unseen++;
      renderSoon();
    });
    render();
  }

  FV.traps = { init: init, list: function () { return traps; }, loaded: function () { return loaded; } };
})();
