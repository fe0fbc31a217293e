// Upgrade: one file to the selected devices, one after the other, with the
// progress of each polled every second while the run lasts.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices;
  var run = null;        // {agents: [{mac, name, ip, status}], poller}

  function targets() { return D.selectedEntries(); }

  function showTargets() {
    var sel = targets();
    if (!sel.length) { $("#up-targets").addClass("muted").text("Select devices on the Devices tab."); return; }
    $("#up-targets").removeClass("muted").html(sel.map(function (e) {
      return "<div>" + U.escapeHtml((e.info.systemName || "?") + " — " + e.info.agentIpAddr + " (" + e.info.macAddr + ")") + "</div>";
    }).join(""));
  }

  function syncType() { $(".up-config").toggle($("#up-type").val() === "config"); }

  function fail(text) { U.message("#up-message", text, "fault"); }

  function start() {
    var path = $.trim($("#up-path").val()), size = $.trim($("#up-size").val());
    var type = $("#up-type").val(), key = $("#up-key").val(), password = $("#up-password").val();
    var sel = targets();
    if (!path) return fail("Give the path of the file on the server's machine.");
    if (!/^\d+$/.test(size) || +size <= 0 || +size > 2147483647) return fail("Give the file's size in bytes (pick the file above to fill it in).");
    if (type === "config" && !key) return fail("A configuration file needs its encryption key.");
    if (!sel.length) return fail("Select the devices to upgrade on the Devices tab.");
    if (run && run.active) return fail("An upgrade is running. Press End first.");
    $("#up-start").prop("disabled", true);
    U.message("#up-message", "Preparing…", "muted");
    var agents = sel.map(function (e) {
      return { mac: e.info.macAddr, ip: e.info.agentIpAddr, name: e.info.systemName || e.info.agentIpAddr, status: null };
    });
    // The key travels only with configuration files; a firmware run still
    // names one, since the server refuses an empty key text.
    return S.call("SetFwFilePath", { strFwFilePath: path, strUpType: type, strEncryptKey: type === "config" ? key : "none", intFileSize: +size })
      .then(function (el) {
        if (S.number(el, "errorcode") !== 0) {
          throw new Error("The server refused the file: it does not exist on the server's machine, or a value is missing.");
        }
        return agents.reduce(function (p, a) {
          return p.then(function () {
            return S.call("AddUpgradeAgentEx", { macAddr: a.mac, password: password, strUpType: type, strEncryptKey: key, intFileSize: +size })
              .catch(function (err) { throw new Error("The server does not know " + a.name + " (" + a.mac + "): " + err); });
          });
        }, Promise.resolve());
      }).then(function () {
        return S.call("StartUpgrade", { nUserID: 0, strUserName: "" }).catch(function (err) {
          throw new Error("The upgrade could not start: " + (err.detail || "no queued device could be started (is the file readable?)") + ".");
        });
      }).then(function () {
        run = { agents: agents, active: true };
        U.message("#up-message", "Upgrading " + agents.length + (agents.length === 1 ? " device" : " devices") + ", one after the other.", "ok");
        renderRows();
        poller.start(0);
      }, function (err) {
        fail(String(err.message || err));
      }).then(function () { $("#up-start").prop("disabled", false); });
  }

  function poll() {
    if (!run || !run.active) { poller.stop(); return null; }
    return run.agents.reduce(function (p, a) {
      return p.then(function () {
        if (a.status && (a.status.upgradeStatus === 9 || a.status.upgradeStatus === 10)) return null;
        return S.call("GetUpgradeStatus", { strMacAddr: a.mac }).then(function (el) {
          a.status = {
            isupgrading: S.number(el, "isupgrading"), upgradeStatus: S.number(el, "upgradeStatus"),
            fwFileSize: S.number(el, "fwFileSize"), transmitedSize: S.number(el, "transmitedSize"),
            failedCode: S.number(el, "failedCode"), time: S.text(el, "time")
          };
        }, function (err) { if (err.kind === "fault") a.missing = true; });
      });
    }, Promise.resolve()).then(function () {
      renderRows();
      var finished = run.agents.every(function (a) {
        return a.missing || (a.status && (a.status.upgradeStatus === 9 || a.status.upgradeStatus === 10));
      });
      if (finished) {
        run.active = false;
        poller.stop();
        var ok = run.agents.filter(function (a) { return a.status && a.status.upgradeStatus === 9; }).length;
        U.message("#up-message", "Finished: " + ok + " of " + run.agents.length + " upgraded. Press End to clear the list.", ok === run.agents.length ? "ok" : "fault");
        D.refreshAll();
      }
    });
  }

  function renderRows() {
    var h = U.escapeHtml;
    if (!run) { $("#up-rows").html(""); return; }
    $("#up-rows").html(run.agents.map(function (a) {
      var s = a.status, state = "Waiting", pct = 0, cls = "", outcome = "";
      if (a.missing) { state = "Not queued"; cls = "failed"; outcome = "the server has no upload for this device"; }
      else if (s) {
        state = F.UPLOAD_STATES[s.upgradeStatus] || "State " + s.upgradeStatus;
        pct = s.upgradeStatus === 9 || s.upgradeStatus === 6 || s.upgradeStatus === 7 ? 100 :
          s.fwFileSize > 0 ? Math.min(100, Math.floor(100 * s.transmitedSize / s.fwFileSize)) : 0;
        if (s.upgradeStatus === 9) { cls = "done"; outcome = "upgraded"; }
        if (s.upgradeStatus === 10) { cls = "failed"; outcome = "failed: " + (F.UPLOAD_FAILURES[s.failedCode] || "code " + s.failedCode) + " (code " + s.failedCode + ")"; }
        if (s.upgradeStatus >= 2 && s.upgradeStatus <= 5) outcome = s.transmitedSize + " of " + s.fwFileSize + " bytes";
      }
      return '<tr data-mac="' + h(a.mac) + '"><td>' + h(a.name) + '</td><td class="mono">' + h(a.mac) + '</td><td class="state">' + h(state) +
        '</td><td><div class="progress ' + cls + '"><div style="width:' + pct + '%"></div></div></td><td class="' +
        (cls === "failed" ? "fault" : cls === "done" ? "ok" : "muted") + '">' + h(outcome) + "</td></tr>";
    }).join(""));
  }

  function end() {
    return S.call("EndUpgrade", { nUserID: 0, strUserName: "" }).then(function () {
      poller.stop();
      run = null;
      renderRows();
      U.message("#up-message", "The upgrade list is cleared.", "muted");
    }, function (err) { fail("Could not end the upgrade: " + err); });
  }

  var poller = null;
  function init() {
    poller = new U.Poller(poll, function () { return 1000; });
    D.onSelection(showTargets);
    $("#up-type").on("change", syncType);
    $("#up-file").on("change", function () {
      var f = this.files && this.files[0];
      if (!f) return;
      $("#up-size").val(f.size);
      if (!$.trim($("#up-path").val())) $("#up-path").val(f.name);
    });
    $("#up-start").on("click", start);
    $("#up-end").on("click", end);
    syncType();
  }

  FV.upgrade = { init: init, run: function () { return run; } };
})();
