// Device changes in flight: the server sends the command and returns; the
// outcome (the device's answer, or none within the server's time-out) comes
// through the event feed, which every page and command line reads in full.
// Each outcome shows next to the part of the form that started it, and in
// the outcome list below; outcomes of changes made elsewhere show there too.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices, E = FV.feed;
  // The server marks an unanswered change timed out once a second after its
  // time-out; past that and a few seconds more the outcome will not come
  // (the server restarted, or could not store the event).
  var GRACE_MS = 3000;
  var pending = [];     // {mac, operate, what, started, deadline, li, name, slot, after}
  var latest = {};      // slot + " " + MAC -> {text, kind}: what the form shows for that device
  var recent = [];      // the latest outcomes no change of this page waited for (newest last)
  // How the feed names the operations.
  var OPERATE_CODES = { set_config: 0, set_password: 1, set_config_no_address: 2, restore_defaults: 3 };

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
    var after = E.cursor() || 0;  // its outcome comes after what the feed has given so far
    showOutcome(slot, mac, what + ": sending…", "muted");
    return S.call("SetDeviceCfgEx", F.cfgExParams(info, operate)).then(function () {
      var text = what + ": sent, waiting for the device's answer…";
      var li = note(e, text, "muted");
      var now = performance.now();
      var p = { mac: mac, operate: operate, what: what, started: now, deadline: now + timeoutMs() + GRACE_MS,
        li: li, name: label(e), slot: slot, after: after };
      pending.push(p);
      showOutcome(slot, mac, text, "muted pending");
      // The feed may have brought the outcome while the answer was on its way.
      for (var i = 0; i < recent.length; i++) {
        var o = recent[i];
        if (o.id > after && o.mac === mac && o.operate === operate) {
          recent.splice(i, 1);
          pending.splice(pending.indexOf(p), 1);
          finish(p, outcomeText(what, o), o.kind);
          return D.refreshAll().catch(function () {});
        }
      }
      E.now();
    }, function (err) {
      var text = what + " not sent: " + (err.kind !== "fault" ? String(err) : err.detail ||
        "the server knows no device with this MAC address, or could not send the command");
      note(e, text, "fault");
      showOutcome(slot, mac, text, "fault");
      throw err;
    });
  }

  function outcomeText(what, o) {
    if (o.timedOut) return what + ": no answer within " + Math.round(timeoutMs() / 1000) + " s (timed out).";
    if (o.result === 0) return what + ": done (the device answered with result 0).";
    return what + ": the device answered with result " + o.result + " (refused).";
  }

  // A set_outcome event as {id, mac, operate, result, timedOut, kind}.
  function outcomeOf(e) {
    var f = e.fields, op = f.operate;
    var code = typeof f.operate_code === "number" ? f.operate_code : OPERATE_CODES[String(op).toLowerCase()];
    var timedOut = f.timed_out === true || f.result === -2;
    var result = typeof f.result === "number" ? f.result : null;
    return { id: e.id, mac: E.serviceMac(e.mac), operate: code === undefined ? -1 : code, result: result,
      timedOut: timedOut, kind: !timedOut && result === 0 ? "ok" : "fault", name: op };
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
      finish(p, p.what + ": no result seen within " + Math.round((p.deadline - p.started) / 1000) + " s" +
        (E.state.error ? " (the event feed cannot be read: " + E.state.error + ")" : "") +
        "; whether the device took the change is not known.", "warn");
    }
  }

  function onOutcome(e) {
    var o = outcomeOf(e), p = null;
    for (var i = 0; i < pending.length; i++) {
      if (pending[i].mac === o.mac && pending[i].operate === o.operate && o.id > pending[i].after) {
        p = pending.splice(i, 1)[0];
        break;
      }
    }
    if (p) {
      finish(p, outcomeText(p.what, o), o.kind);
    } else {
      recent.push(o);
      if (recent.length > 100) recent.shift();
      var what = F.OPERATIONS[o.operate] || "Operation " + o.name;
      var dev = D.findByMac(o.mac);
      var who = dev ? (dev.info.systemName || dev.info.agentIpAddr) + " (" + o.mac + ")" : (e.address || o.mac) + " (" + o.mac + ")";
      note(null, who + ": " + outcomeText(what, o), o.kind);
    }
    // The server keeps what the devices reported; show it.
    D.refreshAll().catch(function () { /* the banner tells */ });
  }

  function init() {
    E.on("set_outcome", onOutcome);
    E.quickWhile(function () { return pending.length > 0; });
    setInterval(expire, 1000);
    E.onState(function (error) {
      if (error && pending.length) {
        pending.forEach(function (p) {
          showOutcome(p.slot, p.mac, p.what + ": sent; its outcome cannot be read now: " + error + ". Retrying…", "warn pending");
        });
      }
    });
  }

  FV.operations = { init: init, start: start, note: note, pending: pending, render: render, show: showOutcome };
})();
