// Device changes in flight: the server sends the command and returns; the
// outcome (the device's answer, or none within 50 s) is polled for.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices;
  var pending = [];     // {mac, operate, label, started, li}
  var poller = null;

  function label(e) { return (e.info.systemName || e.info.agentIpAddr) + " (" + e.info.macAddr + ")"; }

  function note(e, text, kind) {
    var li = $("<li>").attr("class", kind || "").text(U.clock(new Date()) + " " + (e ? label(e) + ": " : "") + text);
    $("#op-log").prepend(li);
    $("#op-log li").slice(30).remove();
    return li;
  }

  function start(e, info, operate) {
    var what = F.OPERATIONS[operate] || "Operation " + operate;
    return S.call("SetDeviceCfgEx", F.cfgExParams(info, operate)).then(function () {
      var li = note(e, what + ": sent, waiting for the device's answer…", "muted");
      pending.push({ mac: info.macAddr, operate: operate, what: what, started: Date.now(), li: li, name: label(e) });
      poller.now();
    }, function (err) {
      note(e, what + " not sent: " + (err.kind !== "fault" ? String(err) : err.detail ||
        "the server knows no device with this MAC address, or could not send the command"), "fault");
      throw err;
    });
  }

  function outcomeText(what, result) {
    if (result === -2) return what + ": no answer within 50 s (timed out).";
    if (result === 0) return what + ": done (the device answered with result 0).";
    return what + ": the device answered with result " + result + " (refused).";
  }

  function poll() {
    if (!pending.length) return null;
    return S.call("GetOperateResult", { nUserID: 0, strUserName: "" }).then(function (el) {
      var done = S.children(el, "arrList");
      if (!done.length) return null;
      done.forEach(function (item) {
        var info = F.parseSwitchInfo(S.child(item, "agentInfo"));
        var operate = S.number(item, "operate"), result = S.number(item, "result");
        var idx = -1;
        for (var i = 0; i < pending.length; i++) {
          if (pending[i].mac === info.macAddr && pending[i].operate === operate) { idx = i; break; }
        }
        var p = idx >= 0 ? pending.splice(idx, 1)[0] : null;
        var text = outcomeText(p ? p.what : F.OPERATIONS[operate] || "Operation " + operate, result);
        var kind = result === 0 ? "ok" : "fault";
        if (p) {
          p.li.attr("class", kind).text(U.clock(new Date()) + " " + p.name + ": " + text);
        } else {
          note(null, (info.systemName || info.agentIpAddr) + " (" + info.macAddr + "): " + text, kind);
        }
      });
      // The server keeps what the devices reported; show it.
      return D.refreshAll();
    });
  }

  function init() {
    poller = new U.Poller(poll, function () { return 1000; }).start(1000);
  }

  FV.operations = { init: init, start: start, note: note, pending: pending };
})();
