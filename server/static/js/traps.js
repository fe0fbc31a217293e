// Traps: the server hands each trap out once, so the page keeps them.
(function () {
  "use strict";
  var S = FV.soap, U = FV.ui;
  var MAX_KEPT = 5000;
  var traps = [];        // newest first
  var unseen = 0;

  function poll() {
    return S.call("GetTrapList", { nUserID: 0, strUserName: "" }).then(function (el) {
      var fresh = S.children(el, "arrList").map(function (t) {
        return { time: S.text(t, "time"), ip: S.text(t, "ip"), text: S.text(t, "string"), location: S.text(t, "location") };
      });
      if (!fresh.length) return;
      // Arrival order from the server; newest first here.
      traps = fresh.reverse().concat(traps).slice(0, MAX_KEPT);
      if (U.currentTab() !== "traps") unseen += fresh.length;
      render();
    });
  }

  function render() {
    var h = U.escapeHtml;
    $("#trap-rows").html(traps.slice(0, 500).map(function (t) {
      return "<tr><td class='mono'>" + h(t.time) + "</td><td class='mono'>" + h(t.ip) + "</td><td>" + h(t.text) +
        "</td><td>" + h(t.location) + "</td></tr>";
    }).join(""));
    $("#trap-empty").prop("hidden", traps.length > 0);
    $("#trap-count").text(traps.length ? traps.length + (traps.length === 1 ? " trap" : " traps") +
      (traps.length > 500 ? " (the newest 500 shown)" : "") : "");
    $("#trap-badge").text(unseen ? String(unseen) : "");
  }

  function init() {
    U.onTab(function (name) { if (name === "traps") { unseen = 0; render(); } });
    $("#traps-clear").on("click", function () { traps = []; unseen = 0; render(); });
    new U.Poller(poll, function () { return 2000; }).start(0);
    render();
  }

  FV.traps = { init: init, list: function () { return traps; } };
})();
