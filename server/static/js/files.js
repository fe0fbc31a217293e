// Saved lists of watched devices: files on the server's machine.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices;

  function save() {
    var path = $.trim($("#save-path").val());
    if (!path) { U.message("#files-message", "Give the path of the file to write on the server's machine.", "fault"); return; }
    S.call("SaveFile", { filepath: path }).then(function () {
      U.message("#files-message", "Saved " + D.model.watchedCount + " watched devices to " + path + ".", "ok");
    }, function (err) { U.message("#files-message", "Could not save: " + err, "fault"); });
  }

  function saveAs() {
    U.message("#files-message", "The save dialog is open on the server's desktop; the server waits for it to close.", "muted");
    S.call("SaveFileAs", { nUserID: 0, username: "" }, { timeout: 15 * 60 * 1000 }).then(function () {
      U.message("#files-message", "The save dialog was closed (saved, unless it was cancelled).", "ok");
    }, function (err) { U.message("#files-message", "Save as failed: " + err, "fault"); });
  }

  function showLoaded(items) {
    var h = U.escapeHtml;
    $("#loaded-table").prop("hidden", !items.length);
    $("#loaded-rows").html(items.map(function (info) {
      return "<tr><td class='mono'>" + h(info.agentIpAddr) + "</td><td class='mono'>" + h(info.macAddr) + "</td><td>" +
        h(info.systemName) + "</td><td>" + h(info.productName) + "</td></tr>";
    }).join(""));
  }

  function load() {
    var path = $.trim($("#load-path").val());
    if (!path) { U.message("#files-message", "Give the path of the file to read on the server's machine.", "fault"); return; }
    S.call("LoadFile", { filepath: path }).then(function (el) {
      var items = S.children(el, "arrList").map(function (m) { return F.parseSwitchInfo(S.child(m, "monitorInfo")); });
      showLoaded(items);
      if (S.number(el, "nErrorCode") === 1 && !items.length) {
        U.message("#files-message", "No device could be read from the file (it is missing, unreadable, not a regular file, " +
          "or damaged); the watched list was not changed.", "fault");
        return null;
      }
      if (S.number(el, "nErrorCode") === 1) {
        U.message("#files-message", "The file is damaged: its length is not a whole number of device records. " +
          "The " + items.length + " complete records are shown below; the watched list was not changed.", "fault");
        return null;
      }
      U.message("#files-message", items.length ? "Loaded " + items.length + (items.length === 1 ? " device" : " devices") +
        "; they are watched now." : "The file holds no devices; the watched list is now empty.",
        items.length ? "ok" : "warn");
      D.model.watchedCount = items.length;
      return D.refreshAll();
    }, function (err) {
      U.message("#files-message", err.kind === "fault" ? "The file lists one address twice; the devices before it are watched now." +
        (err.detail ? " (" + err.detail + ")" : "") :
        "Could not load: " + err, "fault");
      return D.recount().then(function () { return D.refreshAll(); });
    });
  }

  function init() {
    $("#save").on("click", save);
    $("#save-as").on("click", saveAs);
    $("#load").on("click", load);
  }

  FV.files = { init: init };
})();
