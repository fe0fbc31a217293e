// Device changes in flight: the server sends the command and returns; the
// outcome (the device's answer, or none within the server's time-out) is
// polled for. Each outcome shows next to the part of the form that started
// it, and in the outcome list below.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices;
  var POLL_MS = 400;
  // The server marks an unanswered change timed out once a second after its
  // time-out; past that and a few polls more, the outcome will not come to
  // this page: another client (GetOperateResult hands each outcome out
  // once) or a restarted server took it.
  var GRACE_MS = 3000;
  var pending = [];     // {mac, operate, what, started, deadline, li, name, slot}
  var latest = {};      // slot + " " + MAC -> {text, kind}: what the form shows for that device
  var poller = null;

  function label(e) { return (e.info.systemName || e.info.agentIpAddr) + " (" + e.info.macAddr + ")"; }

  function timeoutMs() {
    var st = S.latestStatus();
    var ms = st && Number(st.device_set_timeout_ms);
    return ms > 0 ? ms : 50000;
  }

  function note(e, text, kind) {
    var li = $("<li>").attr("class", kind || "").text(U.clock(new Date()) + " " + (e ? label(e) + ": " : "") + text);
    $("#op-log").prepend(li);
    $("#op-log li").slice(30).remove();
    return li;
  }

  // Which outcome line of the form an operation belongs to.
  function slotOf(operate) { return operate === 1 || operate === 3 ? "password" : "apply"; }

  // Shows what became of the latest change of `slot` beside the form, when
  // the form shows that device; brought into view.
  function showOutcome(slot, mac, text, kind) {
    latest[slot + " " + mac] = { text: text, kind: kind };
    render(slot);
  }

  // Fills the outcome lines for the device in the form; `scrollSlot` names
  // the line that just changed, brought into view.
  function render(scrollSlot) {
    var shown = FV.details && FV.details.current ? FV.details.current() : null;
    var mac = shown ? shown.info.macAddr : null;
    ["apply", "password"].forEach(function (slot) {
      var el = $("#" + slot + "-outcome"), o = mac ? latest[slot + " " + mac] : null;
      if (!o) { el.text("").attr("class", "outcome").prop("hidden", true); return; }
      el.text(o.text).attr("class", "outcome " + (o.kind || "")).prop("hidden", false);
      if (scrollSlot === slot && el[0] && el[0].scrollIntoView) el[0].scrollIntoView({ block: "nearest" });
    });
  }

  function start(e, info, operate) {
    var what = F.OPERATIONS[operate] || "Operation " + operate;
    var slot = slotOf(operate), mac = info.macAddr;
    showOutcome(slot, mac, what + ": sending…", "muted");
    return S.call("SetDeviceCfgEx", F.cfgExParams(info, operate)).then(function () {
      var text = what + ": sent, waiting for the device's answer…";
      var li = note(e, text, "muted");
      var now = performance.now();
      pending.push({ mac: mac, operate: operate, what: what, started: now, deadline: now + timeoutMs() + GRACE_MS,
        li: li, name: label(e), slot: slot });
      showOutcome(slot, mac, text, "muted pending");
      poller.now();
    }, function (err) {
      var text = what + " not sent: " + (err.kind !== "fault" ? String(err) : err.detail ||
        "the server knows no device with this MAC address, or could not send the command");
      note(e, text, "fault");
      showOutcome(slot, mac, text, "fault");
      throw err;
    });
  }

  function outcomeText(what, result) {
    if (result === -2) return what + ": no answer within " + Math.round(timeoutMs() / 1000) + " s (timed out).";
    if (result === 0) return what + ": done (the device answered with result 0).";
    return what + ": the device answered with result " + result + " (refused).";
  }

  function finish(p, text, kind) {
    p.li.attr("class", kind).text(U.clock(new Date()) + " " + p.name + ": " + text);
    // Only the latest change of that part of the form speaks there.
    var newer = pending.some(function (q) { return q.slot === p.slot && q.mac === p.mac; });
    if (!newer) showOutcome(p.slot, p.mac, text, kind);
  }

  // Changes whose outcome can no longer come end as unknown, never as done.
  function expire() {
    var now = performance.now();
    for (var i = pending.length - 1; i >= 0; i--) {
      var p = pending[i];
      if (now < p.deadline) continue;
      pending.splice(i, 1);
      finish(p, p.what + ": no result seen within " + Math.round((p.deadline - p.started) / 1000) +
        " s (another client may have collected it); whether the device took the change is not known.", "warn");
    }
  }

  function poll() {
    if (!pending.length) return null;
    return S.call("GetOperateResult", { nUserID: 0, strUserName: "" }).then(function (el) {
      var done = S.children(el, "arrList");
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
          finish(p, text, kind);
        } else {
          note(null, (info.systemName || info.agentIpAddr) + " (" + info.macAddr + "): " + text, kind);
        }
      });
      expire();
      // The server keeps what the devices reported; show it.
      return done.length ? D.refreshAll() : null;
    }, function (err) {
      expire();
      throw err;
    });
  }

  function init() {
    poller = new U.Poller(poll, function () { return POLL_MS; }).start(POLL_MS);
  }

  FV.operations = { init: init, start: start, note: note, pending: pending, render: render, show: showOutcome };
})();
