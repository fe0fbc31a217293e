// Upgrade: one image to the selected devices, one after the other, with the
// progress of each polled every second while the run lasts. Images come
// from the server's firmware store (/api/firmware), to which the page
// uploads them; the server tells their size and SHA-256.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui, D = FV.devices;
  var STORE = "/api/firmware";
  var DONE = 9, FAILED = 10, QUEUED = 0;
  // {agents: [{mac, name, ip, before, after, status}], active, paused, cancelled}
  var run = null;
  var store = { images: [], limits: null, error: "" };
  var picked = null;       // the stored image whose path and size fill the fields
  var uploading = false;

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

  function bytes(n) {
    if (n < 1024) return n + " B";
    if (n < 1024 * 1024) return (n / 1024).toFixed(1) + " KiB";
    return (n / 1024 / 1024).toFixed(1) + " MiB";
  }

  // One request to the store; resolves with {status, body} (body: the JSON
  // answer, or null), rejects when the server cannot be reached.
  function storeRequest(method, name, file, onProgress) {
    return new Promise(function (resolve, reject) {
      var xhr = new XMLHttpRequest();
      xhr.open(method, STORE + (name === undefined ? "" : "?name=" + encodeURIComponent(name)));
      xhr.timeout = file ? 0 : 20000;
      if (onProgress) xhr.upload.onprogress = function (e) { if (e.lengthComputable) onProgress(e.loaded, e.total); };
      xhr.onload = function () {
        var body = null;
        try { body = JSON.parse(xhr.responseText); } catch (e) { body = null; }
        resolve({ status: xhr.status, body: body });
      };
      xhr.onerror = xhr.ontimeout = function () { reject(new Error("the server could not be reached")); };
      xhr.send(file || null);
    });
  }

  function errorOf(answer) {
    return (answer.body && answer.body.error) || "HTTP " + answer.status;
  }

  function loadImages() {
    return storeRequest("GET").then(function (a) {
      if (a.status !== 200 || !a.body) throw new Error(errorOf(a));
      store.images = a.body.images || [];
      store.limits = a.body.limits || null;
      store.error = "";
    }).catch(function (err) {
      store.error = "The image list could not be read: " + (err.message || err) + ".";
    }).then(renderImages);
  }

  function activeImagePath() {
    return run && run.active ? run.image.path : null;
  }

  function renderImages() {
    var h = U.escapeHtml, busy = activeImagePath();
    if (picked && !store.images.some(function (i) { return i.path === picked.path; })) picked = null;
    $("#up-images").html(store.images.length ? store.images.map(function (img) {
      var on = picked && picked.path === img.path;
      return '<tr data-name="' + h(img.name) + '"' + (on ? ' class="selected"' : "") + '><td><input type="radio" name="up-image" aria-label="' +
        h(img.name) + '"' + (on ? " checked" : "") + '></td><td><div>' + h(img.name) + '</div><div class="mono muted" title="SHA-256 ' +
        h(img.sha256) + '">' + h(img.sha256.slice(0, 16)) + "…</div></td><td>" + h(bytes(img.size)) +
        '</td><td><button class="plain up-delete" style="padding:2px 8px"' + (busy === img.path ? " disabled" : "") + ">Delete</button></td></tr>";
    }).join("") : '<tr><td></td><td colspan="3" class="muted">' + (store.error ? "" : "No images stored yet: upload one above.") + "</td></tr>");
    var note = store.error;
    if (!note && store.limits) {
      note = store.images.length + " of " + store.limits.max_images + " images stored; each at most " +
        store.limits.max_image_bytes.toLocaleString("en") + " bytes.";
    }
    $("#up-store-note").text(note).toggleClass("fault", !!store.error);
  }

  function pick(image) {
    picked = image;
    $("#up-path").val(image.path);
    $("#up-size").val(image.size);
    renderImages();
  }

  function upload(file) {
    var limits = store.limits;
    if (uploading) return;
    if (limits && file.size > limits.max_image_bytes) {
      U.message("#up-upload", file.name + " is " + file.size + " bytes; the server takes images of at most " +
        limits.max_image_bytes + " bytes.", "fault");
      return;
    }
    uploading = true;
    $("#up-file").prop("disabled", true);
    U.message("#up-upload", "Uploading " + file.name + "…", "muted");
    storeRequest("POST", file.name, file, function (sent, total) {
      U.message("#up-upload", "Uploading " + file.name + "… " + Math.floor(100 * sent / total) + " %", "muted");
    }).then(function (a) {
      if (a.status !== 201 || !a.body || !a.body.image) throw new Error("The server refused " + file.name + ": " + errorOf(a) + ".");
      var img = a.body.image;
      store.images = store.images.filter(function (i) { return i.path !== img.path; }).concat([img]);
      pick(img);
      U.message("#up-upload", "Stored " + img.name + ": " + img.size + " bytes, SHA-256 " + img.sha256, "ok");
      return loadImages();
    }).catch(function (err) {
      U.message("#up-upload", String(err.message || err), "fault");
    }).then(function () {
      uploading = false;
      $("#up-file").prop("disabled", false).val("");
    });
  }

  function deleteImage(name) {
    return U.confirm("Delete the image?", "Delete " + name + " from the server's firmware store?", "Delete").then(function (yes) {
      if (!yes) return null;
      return storeRequest("DELETE", name).then(function (a) {
        if (a.status !== 200) throw new Error(errorOf(a));
        U.message("#up-upload", "Deleted " + name + ".", "muted");
      }).catch(function (err) {
        U.message("#up-upload", "Could not delete " + name + ": " + (err.message || err) + ".", "fault");
      }).then(loadImages);
    });
  }

  // What is to be sent: the stored image picked, or a path typed by hand.
  function chosenImage() {
    var path = $.trim($("#up-path").val()), size = $.trim($("#up-size").val());
    if (picked && picked.path === path && String(picked.size) === size) return picked;
    return { name: path.split("/").pop(), path: path, size: +size, sha256: "" };
  }

  function confirmation(image, agents) {
    var box = $("<div>");
    box.append($("<div>").text("Send " + image.name + " (" + image.size + " bytes) to " + agents.length +
      (agents.length === 1 ? " device:" : " devices, one after the other:")));
    var list = $('<ul id="up-confirm-devices" style="margin:6px 0;padding-left:18px;max-height:200px;overflow-y:auto">');
    agents.forEach(function (a) {
      list.append($("<li>").text(a.name + " — " + a.mac + " — " + a.ip + " (now " + (a.before || "version unknown") + ")"));
    });
    box.append(list);
    box.append($("<div>").text("Image: " + image.path));
    box.append($('<div id="up-confirm-sha" class="mono" style="word-break:break-all">').text(image.sha256 ?
      "SHA-256 " + image.sha256 : "SHA-256 not known: a path typed by hand (uploaded images have theirs)"));
    box.append($("<div style=\"margin-top:6px\">").text("Each device restarts once it has the image."));
    return box;
  }

  function start() {
    var image = chosenImage();
    var type = $("#up-type").val(), key = $("#up-key").val(), password = $("#up-password").val();
    var sel = targets();
    if (!image.path) return fail("Upload an image or pick a stored one (or give the path of a file on the server's machine).");
    if (!/^\d+$/.test(String(image.size)) || image.size <= 0 || image.size > 2147483647) {
      return fail("Give the file's size in bytes (picking a stored image fills it in).");
    }
    if (type === "config" && !key) return fail("A configuration file needs its encryption key.");
    if (!sel.length) return fail("Select the devices to upgrade on the Devices tab.");
    if (run && run.active) return fail("An upgrade is running. Press End first.");
    var agents = sel.map(function (e) {
      return { mac: e.info.macAddr, ip: e.info.agentIpAddr, name: e.info.systemName || e.info.agentIpAddr,
        before: e.info.fwVersion, after: "", status: null };
    });
    var title = "Upgrade " + agents.length + (agents.length === 1 ? " device?" : " devices?");
    return U.confirm(title, confirmation(image, agents), "Upgrade").then(function (yes) {
      if (!yes) { U.message("#up-message", "Nothing was sent.", "muted"); return null; }
      return begin(image, agents, type, key, password);
    });
  }

  function begin(image, agents, type, key, password) {
    $("#up-start").prop("disabled", true);
    U.message("#up-message", "Preparing…", "muted");
    // The key travels only with configuration files; a firmware run still
    // names one, since the server refuses an empty key text.
    return S.call("SetFwFilePath", { strFwFilePath: image.path, strUpType: type, strEncryptKey: type === "config" ? key : "none", intFileSize: image.size })
      .then(function (el) {
        if (S.number(el, "errorcode") !== 0) {
          throw new Error("The server refused the file: it does not exist on the server's machine, or a value is missing.");
        }
        return agents.reduce(function (p, a) {
          return p.then(function () {
            return S.call("AddUpgradeAgentEx", { macAddr: a.mac, password: password, strUpType: type, strEncryptKey: key, intFileSize: image.size })
              .catch(function (err) { throw new Error("The server does not know " + a.name + " (" + a.mac + "): " + err); });
          });
        }, Promise.resolve());
      }).then(function () {
        return S.call("StartUpgrade", { nUserID: 0, strUserName: "" }).catch(function (err) {
          throw new Error("The upgrade could not start: " + (err.detail || "no queued device could be started (is the file readable?)") + ".");
        });
      }).then(function () {
        run = { agents: agents, image: image, active: true, paused: 0, cancelled: false };
        U.message("#up-message", "Upgrading " + agents.length + (agents.length === 1 ? " device" : " devices") +
          " with " + image.name + ", one after the other.", "ok");
        renderRows();
        renderImages();
        poller.start(0);
      }, function (err) {
        fail(String(err.message || err));
      }).then(function () { $("#up-start").prop("disabled", false); });
  }

  function finished(a) {
    return a.missing || a.cancelled || (a.status && (a.status.upgradeStatus === DONE || a.status.upgradeStatus === FAILED));
  }

  function poll() {
    if (!run || !run.active) { poller.stop(); return null; }
    var current = run;
    return current.agents.reduce(function (p, a) {
      return p.then(function () {
        if (finished(a)) return null;
        return S.call("GetUpgradeStatus", { strMacAddr: a.mac }).then(function (el) {
          a.status = {
            isupgrading: S.number(el, "isupgrading"), upgradeStatus: S.number(el, "upgradeStatus"),
            fwFileSize: S.number(el, "fwFileSize"), transmitedSize: S.number(el, "transmitedSize"),
            failedCode: S.number(el, "failedCode"), time: S.text(el, "time")
          };
          // The device as it answered the rediscovery that ended its upload.
          if (a.status.upgradeStatus === DONE) a.after = S.text(S.child(el, "agentInfo"), "fwVersion");
        }, function (err) { if (err.kind === "fault") a.missing = true; });
      });
    }, Promise.resolve()).then(function () {
      if (run !== current || !current.active) return null;
      var waiting = current.agents.filter(function (a) { return !finished(a) && a.status && a.status.upgradeStatus === QUEUED; }).length;
      var running = current.agents.some(function (a) { return !finished(a) && a.status && a.status.upgradeStatus !== QUEUED; });
      // Uploads still queued while none runs: the scheduler waits for
      // StartUpgrade (after a device sent a TFTP error, or its file went).
      // One that ran when its status was read and ended since is shown
      // ended first, on the next poll, before the queue is called paused.
      if (!waiting || running) { current.paused = 0; return null; }
      return S.call("GetUpgradingAgent", { nUserID: 0, strUserName: "" }).then(function (el) {
        current.paused = S.text(el, "strMacAddr") === "0" ? waiting : 0;
      }, function () { return null; });
    }).then(function () {
      if (run !== current) return;
      renderRows();
      if (current.agents.every(finished)) {
        current.active = false;
        current.paused = 0;
        poller.stop();
        var ok = current.agents.filter(function (a) { return a.status && a.status.upgradeStatus === DONE; }).length;
        U.message("#up-message", "Finished: " + ok + " of " + current.agents.length + " upgraded. Press End to clear the list.",
          ok === current.agents.length ? "ok" : "fault");
        renderRows();
        renderImages();
        D.refreshAll();
      }
    });
  }

  function outcomeOf(a) {
    var s = a.status;
    if (a.missing) return { state: "Not queued", cls: "failed", text: "the server has no upload for this device" };
    if (a.cancelled) return { state: "Cancelled", cls: "failed", text: "not upgraded: the run was cancelled" };
    if (!s) return { state: "Waiting", cls: "", text: "" };
    var out = { state: F.UPLOAD_STATES[s.upgradeStatus] || "State " + s.upgradeStatus, cls: "", text: "" };
    if (s.upgradeStatus === DONE) { out.cls = "done"; out.text = "upgraded"; }
    if (s.upgradeStatus === FAILED) {
      out.cls = "failed";
      out.text = "failed: " + (F.UPLOAD_FAILURES[s.failedCode] || "code " + s.failedCode) + " (code " + s.failedCode + ")";
    }
    if (s.upgradeStatus === QUEUED && run && run.paused) out.state = "Queued (paused)";
    if (s.upgradeStatus >= 2 && s.upgradeStatus <= 5) out.text = s.transmitedSize + " of " + s.fwFileSize + " bytes";
    return out;
  }

  function renderRows() {
    var h = U.escapeHtml;
    if (!run) { $("#up-rows").html(""); $("#up-run").hide(); return; }
    $("#up-rows").html(run.agents.map(function (a) {
      var s = a.status, o = outcomeOf(a), pct = 0;
      if (s) {
        pct = s.upgradeStatus === DONE || s.upgradeStatus === 6 || s.upgradeStatus === 7 ? 100 :
          s.fwFileSize > 0 ? Math.min(100, Math.floor(100 * s.transmitedSize / s.fwFileSize)) : 0;
      }
      var after = a.after || (s && s.upgradeStatus === DONE ? "(not reported)" : o.cls === "failed" ? "—" : "");
      return '<tr data-mac="' + h(a.mac) + '"><td>' + h(a.name) + '</td><td class="mono" style="white-space:nowrap">' + h(a.mac) +
        "</td><td>" + h(a.ip) + '</td><td class="before">' + h(a.before || "?") + '</td><td class="after">' + h(after) +
        '</td><td><div class="progress ' + o.cls + '"><div style="width:' + pct + '%"></div></div></td><td><div class="state">' +
        h(o.state) + '</div><div class="outcome ' + (o.cls === "failed" ? "fault" : o.cls === "done" ? "ok" : "muted") +
        '" style="font-size:12px">' + h(o.text) + "</div></td></tr>";
    }).join(""));
    var paused = run.active && run.paused > 0;
    $("#up-run").toggle(paused);
    if (paused) {
      U.message("#up-run-text", "Paused, " + run.paused + " waiting: an upload ended with an error and nothing more starts until you resume.", "warn");
    }
  }

  function resume() {
    $("#up-resume, #up-cancel").prop("disabled", true);
    return S.call("StartUpgrade", { nUserID: 0, strUserName: "" }).then(function () {
      if (run) run.paused = 0;
      U.message("#up-message", "Resumed: the waiting devices are upgraded one after the other.", "ok");
      renderRows();
      poller.now();
    }, function (err) {
      fail("Could not resume: " + (err.detail || err) + ".");
    }).then(function () { $("#up-resume, #up-cancel").prop("disabled", false); });
  }

  function cancel() {
    $("#up-resume, #up-cancel").prop("disabled", true);
    return S.call("EndUpgrade", { nUserID: 0, strUserName: "" }).then(function () {
      poller.stop();
      if (run) {
        run.agents.forEach(function (a) { if (!finished(a)) a.cancelled = true; });
        run.active = false;
        run.paused = 0;
        var ok = run.agents.filter(function (a) { return a.status && a.status.upgradeStatus === DONE; }).length;
        var left = run.agents.filter(function (a) { return a.cancelled; }).length;
        U.message("#up-message", "Cancelled: " + ok + " of " + run.agents.length + " upgraded, " + left + " not started.", "fault");
      }
      renderRows();
      renderImages();
    }, function (err) {
      fail("Could not cancel: " + err + ".");
    }).then(function () { $("#up-resume, #up-cancel").prop("disabled", false); });
  }

  function end() {
    return S.call("EndUpgrade", { nUserID: 0, strUserName: "" }).then(function () {
      poller.stop();
      run = null;
      renderRows();
      renderImages();
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
      if (f) upload(f);
    });
    $("#up-images").on("click", "tr[data-name]", function (e) {
      var name = $(this).attr("data-name");
      var img = store.images.filter(function (i) { return i.name === name; })[0];
      if (!img) return;
      if ($(e.target).hasClass("up-delete")) { deleteImage(name); return; }
      pick(img);
    });
    $("#up-path, #up-size").on("input", function () {
      if (picked && ($.trim($("#up-path").val()) !== picked.path || $.trim($("#up-size").val()) !== String(picked.size))) {
        picked = null;
        renderImages();
      }
    });
    $("#up-start").on("click", start);
    $("#up-end").on("click", end);
    $("#up-resume").on("click", resume);
    $("#up-cancel").on("click", cancel);
    U.onTab(function (name) { if (name === "upgrade") loadImages(); });
    syncType();
    renderImages();
  }

  FV.upgrade = { init: init, run: function () { return run; }, store: store, reloadImages: loadImages };
})();
