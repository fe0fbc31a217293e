// Saved lists of watched devices: files on the server's machine.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices;

  function save() {
    var path = $.trim($("#save-path").val());
    if (!path) { U.message("#files-message", "Give the path of the file to write on the server's machine.", "fault"); return; }
    U.message("#files-message", "Saving…", "muted");
    S.call("SaveFile", { filepath: path }).then(function (el) {
      if (S.number(el, "errorcode") !== 0) {
        U.message("#files-message", "Not saved: the server could not write " + path + " (errorcode " +
          S.number(el, "errorcode") + "). Its folder may not exist or not be writable, or the path is not a valid " +
          "file name; an existing file there is unchanged.", "fault");
        return;
      }
      U.message("#files-message", "Saved " + D.model.watchedCount + " watched devices to " + path + ".", "ok");
    }, function (err) { U.message("#files-message", "Could not save: " + err, "fault"); });
  }

  // How the latest "save as" ended, from the status summary, when it is
  // newer than `before`; null when that cannot be told.
  function saveAsOutcome(before) {
    return S.status().then(function (st) {
      var o = st.save_as;
      return o && o.seq > before ? o : null;
    }, function () { return null; });
  }

  var SAVE_AS_WORDS = {
    no_dialog: function (o) {
      return "Not saved: no save dialog could be shown on the server's desktop (" + o.detail +
        "). Give a path above and press Save instead.";
    },
    busy: function () { return "Not saved: another save dialog is open on the server's desktop. Close it first."; },
    write_failed: function (o) { return "Not saved: " + o.detail + "."; }
  };

  function saveAs() {
    U.message("#files-message", "The save dialog is open on the server's desktop; the server waits for it to close.", "muted");
    var st = S.latestStatus(), before = st && st.save_as ? st.save_as.seq : 0;
    S.status().then(function (fresh) { return fresh.save_as ? fresh.save_as.seq : 0; }, function () { return before; })
      .then(function (seq) {
        before = seq;
        return S.call("SaveFileAs", { nUserID: 0, username: "" }, { timeout: 15 * 60 * 1000 });
      }).then(function (el) {
        var code = S.number(el, "errorcode");
        return saveAsOutcome(before).then(function (o) {
          if (code !== 0) {
            var words = o && SAVE_AS_WORDS[o.outcome];
            U.message("#files-message", words ? words(o) : "Not saved (errorcode " + code + "): no save dialog could be " +
              "shown on the server's desktop, another one is open there, or the chosen file could not be written.", "fault");
          } else if (o && o.outcome === "saved") {
            U.message("#files-message", "Saved " + D.model.watchedCount + " watched devices to " + o.detail + ".", "ok");
          } else if (o && o.outcome === "cancelled") {
            U.message("#files-message", "The save dialog was cancelled; nothing was saved.", "muted");
          } else {
            U.message("#files-message", "The save dialog was closed: saved, unless it was cancelled there.", "muted");
          }
        });
      }).catch(function (err) { U.message("#files-message", "Save as failed: " + err, "fault"); });
  }

  function showLoaded(items) {
    var h = U.escapeHtml;
    $("#loaded-table").prop("hidden", !items.length);
    $("#loaded-rows").html(items.map(function (info) {
      return "<tr><td class='mono'>" + h(info.agentIpAddr) + "</td><td class='mono'>" + h(info.macAddr) + "</td><td>" +
        h(info.systemName) + "</td><td>" + h(info.productName) + "</td></tr>";
    }).join(""));
  }

  // Loading replaces the watched list: asked first, with the count the
  // server has now.
  function load() {
    var path = $.trim($("#load-path").val());
    if (!path) { U.message("#files-message", "Give the path of the file to read on the server's machine.", "fault"); return; }
    D.recount().then(function (n) { return n; }, function () { return D.model.watchedCount; }).then(function (n) {
      return U.confirm("Replace the watched devices?", "Replace the " + n + (n === 1 ? " watched device" : " watched devices") +
        " with the list in " + path + "? A missing or damaged file changes nothing.", "Replace");
    }).then(function (yes) {
      if (!yes) { U.message("#files-message", "Not loaded: the watched list is unchanged.", "muted"); return null; }
      return loadNow(path);
    });
  }

  function loadNow(path) {
    U.message("#files-message", "Loading…", "muted");
    return S.call("LoadFile", { filepath: path }).then(function (el) {
      var items = S.children(el, "arrList").map(function (m) { return F.parseSwitchInfo(S.child(m, "monitorInfo")); });
      showLoaded(items);
      if (S.number(el, "nErrorCode") === 1 && !items.length) {
        U.message("#files-message", "Nothing changed: " + path + " is missing, unreadable, not a regular file, or " +
          "damaged (errorcode 1, no device could be read). The watched list is as it was.", "fault");
        return null;
      }
      if (S.number(el, "nErrorCode") === 1) {
        U.message("#files-message", "Nothing changed: the file is damaged (errorcode 1): its length is not a whole number " +
          "of device records. The " + items.length + " complete records are shown below; the watched list is as it was.", "fault");
        return null;
      }
      U.message("#files-message", items.length ? "Loaded " + items.length + (items.length === 1 ? " device" : " devices") +
        "; they are watched now." : "The file holds no devices; the watched list is now empty.",
        items.length ? "ok" : "warn");
      D.model.watchedCount = items.length;
      return D.refreshAll();
    }, function (err) {
      var twice = err.kind === "fault" && /twice/.test(err.detail || "");
      U.message("#files-message", twice ? "The file lists one address twice; the devices before it are watched now. (" +
        err.detail + ")" : "Could not load: " + err + (err.kind === "fault" ? "; the watched list is as it was." : ""), "fault");
      return D.recount().then(function () { return D.refreshAll(); });
    }).catch(function () { /* the banner tells when the server is gone */ });
  }

  function init() {
    $("#save").on("click", save);
    $("#save-as").on("click", saveAs);
    $("#load").on("click", load);
  }

  FV.files = { init: init };
})();
