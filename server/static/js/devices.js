// The devices the server knows: watched agents (table order) and the ones
// the latest discovery found, kept as one list, shown in a virtual table
// that draws only the rows in sight, so 10,000 agents stay quick.
(function () {
  "use strict";
  var S = FV.soap, F = FV.fields, U = FV.ui;
  var ROW = 28;
  var ZERO_MAC = "00-00-00-00-00-00";
  var DISCOVERY_WINDOW_MS = 3000;

  var model = {
    rows: [], byKey: {}, view: [], watchedCount: 0,
    selected: {}, anchor: null,
    sort: { key: "ip", dir: 1 }, filter: "",
    discovering: false, generation: 0,
    unknown: false,   // the server is out of reach: states are not known
    // Devices the server has seen that are in neither list now (they did
    // not answer the latest discovery or poll), from its inventory.
    offline: [], showOffline: true,
    inventoryError: ""  // why the inventory cannot be read ("" when it can)
  };
  var stats = { lastList: null };
  var changeListeners = [], selectionListeners = [];

  function wait(ms) { return new Promise(function (r) { setTimeout(r, ms); }); }

  function makeEntry(info, watched) {
    var e = { key: "", info: info, watched: watched, alive: null, recv: 0, time: "", lastReply: "" };
    index(e);
    return e;
  }

  // Sort keys and the filter's haystack, computed once per update.
  function index(e) {
    var i = e.info;
    e.sIp = F.ipNumber(i.agentIpAddr);
    e.sName = i.systemName.toLowerCase();
    e.sModel = i.productName.toLowerCase();
    e.sFw = i.fwVersion.toLowerCase();
    e.sLoc = i.location.toLowerCase();
    e.hay = (i.agentIpAddr + " " + i.macAddr + " " + i.systemName + " " + i.productName + " " + i.fwVersion +
      " " + i.location + (i.isLoaderMode ? " loader" : "")).toLowerCase();
  }

  function keyOf(info) {
    return info.macAddr && info.macAddr !== ZERO_MAC ? info.macAddr : "ip:" + info.agentIpAddr;
  }

  function stateRank(e) { return e.offline ? 3 : !e.watched ? 2 : e.alive === 0 ? 1 : 0; }

  var COMPARE = {
    state: function (a, b) { return stateRank(a) - stateRank(b); },
    ip: function (a, b) { return a.sIp - b.sIp; },
    mac: function (a, b) { return a.info.macAddr < b.info.macAddr ? -1 : a.info.macAddr > b.info.macAddr ? 1 : 0; },
    name: function (a, b) { return a.sName < b.sName ? -1 : a.sName > b.sName ? 1 : 0; },
    model: function (a, b) { return a.sModel < b.sModel ? -1 : a.sModel > b.sModel ? 1 : 0; },
    fw: function (a, b) { return a.sFw < b.sFw ? -1 : a.sFw > b.sFw ? 1 : 0; },
    location: function (a, b) { return a.sLoc < b.sLoc ? -1 : a.sLoc > b.sLoc ? 1 : 0; },
    mode: function (a, b) { return a.info.isLoaderMode - b.info.isLoaderMode; }
  };

  // Replaces the whole list from the server's answers.
  function setRows(watchedInfos, monitor, discoveredInfos) {
    var rows = [], byKey = {};
    function add(e) {
      var k = keyOf(e.info), n = 2;
      while (byKey[k + (n > 2 ? "#" + (n - 1) : "")]) n++;
      e.key = k + (n > 2 ? "#" + (n - 1) : "");
      var old = model.byKey[e.key];
      if (old && old.lastReply) e.lastReply = old.lastReply;
      byKey[e.key] = e;
      rows.push(e);
    }
    watchedInfos.forEach(function (info, i) {
      var e = makeEntry(info, true);
      if (monitor && monitor[i]) applyStatus(e, monitor[i]);
      add(e);
    });
    discoveredInfos.forEach(function (info) { add(makeEntry(info, false)); });
    model.rows = rows;
    model.byKey = byKey;
    model.unknown = false;
    model.offline = model.offline.filter(function (e) { return !byKey[e.key]; });
    model.offline.forEach(function (e) { byKey[e.key] = e; });
    Object.keys(model.selected).forEach(function (k) { if (!byKey[k]) delete model.selected[k]; });
    applyView();
    changeListeners.forEach(function (fn) { fn(); });
    selectionChanged();
  }

  function applyStatus(e, status) {
    e.alive = status.isAlive;
    e.recv = status.recvFlag;
    e.time = status.time;
    if (status.recvFlag) e.lastReply = status.time;
  }

  function parseMonitor(list) {
    return (list.arrList || []).map(function (item) {
      return {
        info: F.switchInfoFromTree(item.monitorInfo),
        isAlive: Number(item.isAlive) || 0, recvFlag: Number(item.recvFlag) || 0,
        time: typeof item.time === "string" ? item.time : ""
      };
    });
  }

  function isFault(e) { return e && e.kind === "fault"; }

  function inventoryEntry(a) {
    var info = F.switchInfoFromTree({ macAddr: FV.feed.serviceMac(a.mac), agentIpAddr: String(a.address || ""),
      systemName: String(a.name || ""), productName: String(a.model || "") });
    var e = makeEntry(info, false);
    e.offline = true;
    e.key = keyOf(info);
    e.lastSeen = String(a.last_seen || "");
    e.firstSeen = String(a.first_seen || "");
    e.hay += " offline";
    return e;
  }

  // The offline devices of the server's inventory: those in neither list.
  // When it cannot be read none are shown, and the counts say why.
  function readInventory() {
    return S.json("GET", "/api/inventory", { offline: 1 }).then(function (answer) {
      var agents = Array.isArray(answer.agents) ? answer.agents : [];
      var listed = {};
      model.rows.forEach(function (e) { listed[e.key] = true; });
      var offline = agents.filter(function (a) {
        return a && typeof a === "object" && a.mac && a.online === false;
      }).map(inventoryEntry).filter(function (e) { return !listed[e.key]; });
      model.inventoryError = "";
      setOffline(offline);
    }, function (err) {
      model.inventoryError = err.kind === "network" ? "" : err.status === 404 ?
        "this server keeps no inventory (HTTP 404)" : String(err);
      setOffline([]);
    });
  }

  function setOffline(list) {
    model.offline.forEach(function (e) { if (model.byKey[e.key] === e) delete model.byKey[e.key]; });
    model.offline = list;
    list.forEach(function (e) { model.byKey[e.key] = e; });
    Object.keys(model.selected).forEach(function (k) { if (!model.byKey[k]) delete model.selected[k]; });
    applyView();
    selectionChanged();
  }

  // How many agents the server watches, from its status summary.
  function recount() {
    return S.status().then(function (state) {
      model.watchedCount = Math.max(0, Number(state.watched) || 0);
      return model.watchedCount;
    });
  }

  // Fetches both lists; a fault means the watched count moved: count again.
  function refreshAll(retried) {
    var n = model.watchedCount, monitor;
    var started = performance.now();
    return S.callTree("GetMonitorStatus", { monitorNum: n }).then(function (list) {
      monitor = parseMonitor(list);
      return S.callTree("GetSwitchInfoList", { monitorNum: n }, { timeout: 60000 });
    }).then(function (list) {
      var received = S.stats.lastAnswerAt;
      var items = (list.arrList || []).map(F.switchInfoFromTree);
      var parsed = performance.now();
      setRows(items.slice(0, n), monitor, items.slice(n));
      var drawn = performance.now();
      readInventory();
      return new Promise(function (resolve) {
        requestAnimationFrame(function () {
          setTimeout(function () {
            stats.lastList = {
              count: items.length, fetchMs: received - started, parseMs: parsed - received,
              drawMs: drawn - parsed, totalMs: performance.now() - received
            };
            resolve(items.length);
          }, 0);
        });
      });
    }, function (e) {
      if (isFault(e) && !retried) return recount().then(function () { return refreshAll(true); });
      throw e;
    });
  }

  // Keep-alive state of the watched agents; the status summary tells
  // whether another client changed the watched list meanwhile.
  function pollMonitor() {
    return S.status().then(function (state) {
      readInventory();
      var n = Math.max(0, Number(state.watched) || 0);
      if (n !== model.watchedCount || model.unknown) {
        model.watchedCount = n;
        return refreshAll();
      }
      if (n === 0) return null;
      return S.callTree("GetMonitorStatus", { monitorNum: n }).then(function (answer) {
        var list = parseMonitor(answer);
        var watched = model.rows.filter(function (e) { return e.watched; });
        if (watched.length !== list.length) return refreshAll();
        var moved = false;
        list.forEach(function (status, i) {
          var e = watched[i];
          if (keyOf(status.info) !== keyOf(e.info)) moved = true;  // its MAC became known
          e.info = status.info;
          index(e);
          applyStatus(e, status);
        });
        if (moved) return refreshAll();
        applyView();
        changeListeners.forEach(function (fn) { fn(); });
        return null;
      }, function (e) {
        if (isFault(e)) return recount().then(function () { return refreshAll(); });
        throw e;
      });
    });
  }

  // The server cannot be reached: what the page knew may be stale, so every
  // watched device's state is unknown until the lists are read again.
  function markUnknown() {
    model.unknown = true;
    applyView();
    changeListeners.forEach(function (fn) { fn(); });
  }

  function discover() {
    if (model.discovering) return Promise.resolve();
    model.discovering = true;
    model.generation++;
    $("#discover").prop("disabled", true);
    U.message("#discover-state", "Discovering…", "muted");
    return S.call("SetDiscoverToAgents", { nUserID: 0, strUserName: "" }).then(function () {
      // Answers arrive during the discovery window; show them as they come.
      return wait(1500).then(function () { return refreshAll(); })
        .then(function () { return wait(DISCOVERY_WINDOW_MS - 1500 + 600); })
        .then(function () { return refreshAll(); });
    }).then(function () {
      var found = model.rows.filter(function (e) { return !e.watched; }).length;
      U.message("#discover-state", "Found " + found + (found === 1 ? " device" : " devices") + " at " +
        U.clock(new Date()), "ok");
    }, function (e) {
      U.message("#discover-state", "Discovery failed: " + e, "fault");
    }).then(function () {
      model.discovering = false;
      $("#discover").prop("disabled", false);
    });
  }

  function applyView() {
    var f = model.filter, rows = model.showOffline ? model.rows.concat(model.offline) : model.rows;
    var view = f ? rows.filter(function (e) { return e.hay.indexOf(f) >= 0; }) : rows.slice();
    var cmp = COMPARE[model.sort.key] || COMPARE.ip, dir = model.sort.dir;
    view.sort(function (a, b) { return dir * cmp(a, b) || a.sIp - b.sIp || (a.key < b.key ? -1 : 1); });
    model.view = view;
    $("#grid-head > div").removeClass("sorted-asc sorted-desc");
    $("#grid-head > div[data-sort='" + model.sort.key + "']").addClass(dir > 0 ? "sorted-asc" : "sorted-desc");
    var watched = 0, dead = 0, listed = model.rows.length, off = model.offline.length;
    model.rows.forEach(function (e) { if (e.watched) { watched++; if (e.alive === 0) dead++; } });
    if (model.unknown) {
      $("#counts").text("Counts unknown: the server cannot be reached" + (f ? " (" + view.length + " shown)" : ""));
    } else {
      $("#counts").text(listed + (listed === 1 ? " device" : " devices") + ", " + watched + " watched" +
        (dead ? ", " + dead + " not answering" : "") +
        (model.inventoryError ? "; offline devices unknown: " + model.inventoryError :
          off ? ", " + off + " offline" + (model.showOffline ? "" : " (hidden)") : "") +
        (f ? " (" + view.length + " shown)" : ""));
    }
    render();
  }

  function stateCell(e) {
    if (e.offline) return '<span class="dot offline"></span>Offline';
    if (model.unknown && e.watched) return '<span class="dot unknown"></span>Unknown';
    if (!e.watched) return '<span class="dot"></span>Discovered';
    if (e.alive === 0) return '<span class="dot dead"></span>Not answering';
    if (e.alive === 1) return '<span class="dot alive"></span>Alive';
    return '<span class="dot waiting"></span>Watched';
  }

  // When an offline device was last seen, short enough for its cell: the
  // time when it was today, else the day.
  function seenText(iso) {
    var full = FV.feed.localTime(iso, "-"), today = FV.feed.localTime(new Date().toISOString(), "-");
    if (full === iso) return "seen " + iso;  // not a time: as the server wrote it
    return "seen " + (full.slice(0, 10) === today.slice(0, 10) ? full.slice(11) : full.slice(0, 10));
  }

  function render() {
    var vp = document.getElementById("grid-viewport");
    var total = model.view.length;
    document.getElementById("grid-sizer").style.height = Math.max(total * ROW, 1) + "px";
    var rowsEl = document.getElementById("grid-rows");
    if (!total) {
      rowsEl.style.top = "0px";
      rowsEl.innerHTML = '<div class="empty">' + (model.rows.length ? "No device matches the filter." :
        "No devices yet. Press Discover to find the switches and access points on this machine's networks.") + "</div>";
      return;
    }
    var first = Math.max(0, Math.floor(vp.scrollTop / ROW) - 5);
    var last = Math.min(total, first + Math.ceil((vp.clientHeight || 600) / ROW) + 10);
    var h = U.escapeHtml, html = [];
    for (var i = first; i < last; i++) {
      var e = model.view[i], info = e.info, sel = model.selected[e.key];
      html.push('<div class="cols row' + (sel ? " selected" : "") + (e.watched && e.alive === 0 && !model.unknown ? " dead" : "") +
        (e.offline ? " offline" : "") +
        '" data-key="' + h(e.key) + '" data-index="' + i + '">' +
        '<div><input type="checkbox"' + (sel ? " checked" : "") + "></div>" +
        '<div title="' + (e.offline ? "Did not answer the latest discovery or poll. Last seen " + h(e.lastSeen) +
          ", first seen " + h(e.firstSeen) : model.unknown ? "The server cannot be reached; the state is not known" :
          e.watched ? (e.lastReply ? "Last reply " + h(e.lastReply) : "No reply seen yet") : "Found by discovery") +
        '">' + stateCell(e) + "</div>" +
        '<div class="mono">' + h(info.agentIpAddr) + "</div>" +
        '<div class="mono">' + h(info.macAddr) + "</div>" +
        "<div>" + h(info.systemName) + "</div>" +
        "<div>" + h(info.productName) + "</div>" +
        "<div>" + h(info.fwVersion) + "</div>" +
        "<div" + (e.offline ? ' title="Last seen ' + h(FV.feed.localTime(e.lastSeen, "-")) + '">' + h(seenText(e.lastSeen)) :
          ">" + h(info.location)) + "</div>" +
        "<div>" + (e.offline ? "" : info.isLoaderMode ? '<span class="warn">Loader</span>' : "Normal") + "</div></div>");
    }
    rowsEl.style.top = first * ROW + "px";
    rowsEl.innerHTML = html.join("");
  }

  // The selected devices the server lists now (offline ones cannot be
  // watched, changed or upgraded).
  function selectedEntries() {
    return model.rows.filter(function (e) { return model.selected[e.key]; });
  }

  function selectedOffline() {
    return model.offline.filter(function (e) { return model.selected[e.key]; });
  }

  function selectionChanged() {
    var sel = selectedEntries();
    $("#watch").prop("disabled", !sel.some(function (e) { return !e.watched; }));
    $("#unwatch").prop("disabled", !sel.some(function (e) { return e.watched; }));
    $("#forget").prop("disabled", !selectedOffline().length);
    var shown = model.view.length;
    var shownSelected = model.view.filter(function (e) { return model.selected[e.key]; }).length;
    $("#select-all").prop("checked", shown > 0 && shownSelected === shown)
      .prop("indeterminate", shownSelected > 0 && shownSelected < shown);
    selectionListeners.forEach(function (fn) { fn(sel); });
  }

  function select(keys, add) {
    if (!add) model.selected = {};
    keys.forEach(function (k) { model.selected[k] = true; });
    render();
    selectionChanged();
  }

  function onRowClick(ev) {
    var row = $(ev.target).closest(".row");
    if (!row.length) return;
    var key = row.attr("data-key"), idx = +row.attr("data-index");
    if ($(ev.target).is("input[type=checkbox]") || ev.ctrlKey || ev.metaKey) {
      if (model.selected[key]) delete model.selected[key]; else model.selected[key] = true;
      model.anchor = idx;
      render();
      selectionChanged();
    } else if (ev.shiftKey && model.anchor !== null) {
      var a = Math.min(model.anchor, idx), b = Math.max(model.anchor, idx);
      select(model.view.slice(a, b + 1).map(function (e) { return e.key; }), false);
    } else {
      model.anchor = idx;
      select([key], false);
    }
  }

  // Watching: each selected discovered agent moves to the watched list.
  function watchSelected() {
    var todo = selectedEntries().filter(function (e) { return !e.watched; });
    var failed = [];
    return todo.reduce(function (p, e) {
      return p.then(function () {
        return S.call("AddMonitorAgent", { strIpAddress: e.info.agentIpAddr, strMacAddr: e.info.macAddr })
          .then(function () { model.watchedCount++; }, function (err) {
            failed.push(e.info.agentIpAddr + " (" + (err.detail || (err.kind === "fault" ? "already watched?" : err)) + ")");
          });
      });
    }, Promise.resolve()).then(function () {
      U.message("#discover-state", failed.length ? "Not watched: " + failed.join(", ") :
        "Watching " + todo.length + (todo.length === 1 ? " device" : " devices"), failed.length ? "fault" : "ok");
      return refreshAll();
    });
  }

  function unwatchSelected() {
    var todo = selectedEntries().filter(function (e) { return e.watched; });
    return todo.reduce(function (p, e) {
      return p.then(function () {
        return S.call("DelMonitorAgent", { strIpAddress: e.info.agentIpAddr }).then(function () {
          model.watchedCount = Math.max(0, model.watchedCount - 1);
        });
      });
    }, Promise.resolve()).then(function () {
      U.message("#discover-state", "Stopped watching " + todo.length + (todo.length === 1 ? " device" : " devices"), "ok");
      return refreshAll();
    }, function (e) {
      U.message("#discover-state", "Could not stop watching: " + e, "fault");
      return recount().then(function () { return refreshAll(); });
    });
  }

  // Forgetting: the server drops offline devices from its inventory (their
  // events stay in the history). Asked first; each refusal is told as the
  // server gave it.
  function forgetSelected() {
    var todo = selectedOffline();
    if (!todo.length) return Promise.resolve();
    var names = todo.map(function (e) { return (e.info.systemName ? e.info.systemName + " " : "") + e.info.macAddr; });
    return U.confirm("Forget " + todo.length + (todo.length === 1 ? " offline device?" : " offline devices?"),
      "The server's inventory drops " + names.join(", ") + ". Their events stay in the history; a device that " +
      "answers again is listed anew.", "Forget").then(function (yes) {
      if (!yes) return null;
      var failed = [], done = 0;
      return todo.reduce(function (p, e) {
        return p.then(function () {
          return S.json("DELETE", "/api/inventory", { mac: e.info.macAddr }).then(function () { done++; },
            function (err) { failed.push(e.info.macAddr + " (" + (err.kind === "network" ? String(err) : err.message) + ")"); });
        });
      }, Promise.resolve()).then(function () {
        U.message("#discover-state", failed.length ? "Not forgotten: " + failed.join(", ") +
          (done ? "; forgot " + done : "") : "Forgot " + done + (done === 1 ? " device" : " devices"), failed.length ? "fault" : "ok");
        return readInventory();
      });
    });
  }

  function init() {
    var vp = document.getElementById("grid-viewport");
    var pending = false;
    vp.addEventListener("scroll", function () {
      if (pending) return;
      pending = true;
      requestAnimationFrame(function () { pending = false; render(); });
    });
    window.addEventListener("resize", function () { render(); });
    $("#grid-rows").on("click", onRowClick);
    $("#grid-head").on("click", "div[data-sort]", function (ev) {
      var key = $(this).attr("data-sort");
      if (!key || $(ev.target).is("input")) return;
      if (model.sort.key === key) model.sort.dir = -model.sort.dir;
      else model.sort = { key: key, dir: 1 };
      applyView();
    });
    $("#select-all").on("change", function () {
      var on = this.checked;
      model.view.forEach(function (e) { if (on) model.selected[e.key] = true; else delete model.selected[e.key]; });
      render();
      selectionChanged();
    });
    var filterTimer = null;
    $("#filter").on("input", function () {
      var v = this.value;
      clearTimeout(filterTimer);
      filterTimer = setTimeout(function () { model.filter = v.trim().toLowerCase(); applyView(); selectionChanged(); }, 120);
    });
    $("#discover").on("click", discover);
    $("#watch").on("click", watchSelected);
    $("#unwatch").on("click", unwatchSelected);
    $("#forget").on("click", forgetSelected);
    $("#show-offline").on("change", function () { model.showOffline = this.checked; applyView(); selectionChanged(); });
    applyView();
  }

  FV.devices = {
    model: model, stats: stats, init: init, refreshAll: refreshAll, pollMonitor: pollMonitor, discover: discover,
    recount: recount, markUnknown: markUnknown, selectedEntries: selectedEntries, selectedOffline: selectedOffline,
    readInventory: readInventory, forget: forgetSelected, select: select, applyView: applyView, keyOf: keyOf,
    onChange: function (fn) { changeListeners.push(fn); },
    onSelection: function (fn) { selectionListeners.push(fn); },
    get: function (key) { return model.byKey[key]; },
    findByMac: function (mac) {
      for (var i = 0; i < model.rows.length; i++) if (model.rows[i].info.macAddr === mac) return model.rows[i];
      return null;
    }
  };
})();
