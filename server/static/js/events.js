// The Events tab: the server's event history, newest first, a page at a
// time (each older page asks for the events before the oldest one shown,
// so a long history is never read whole), filtered by device and kind. New
// events that match come in at the top as the feed brings them.
(function () {
  "use strict";
  var S = FV.soap, U = FV.ui, E = FV.feed;
  var PAGE = 100;
  var MAX_SHOWN = 5000;
  var KIND_WORDS = {
    trap: "Trap", agent_dead: "Not answering", agent_alive: "Answering again", set_started: "Change sent",
    set_outcome: "Change outcome", upload_queued: "Upload queued", upload_state: "Upload state",
    upload_end: "Upload ended", discovery: "Discovery", server_start: "Server started",
    server_stop: "Server stopped", list_load: "List loaded", list_save: "List saved"
  };
  var view = {
    rows: [],            // newest first
    loaded: false, loading: false, more: false,
    newest: 0,           // events above this id come from the feed
    buffered: [],        // feed events that came during a load
    generation: 0, names: {}, lost: 0,
    error: ""            // why the latest read failed ("" when it did not)
  };

  function filter() {
    var mac = $("#ev-device").val() || "", kind = $("#ev-kind").val() || "";
    return { mac: mac, kinds: kind ? kind.split(",") : [] };
  }

  function matches(e, f) {
    return (!f.mac || E.serviceMac(e.mac) === f.mac) && (!f.kinds.length || f.kinds.indexOf(e.kind) >= 0);
  }

  function query(f) {
    var q = {};
    if (f.mac) q.mac = f.mac;
    if (f.kinds.length) q.kind = f.kinds.join(",");
    return q;
  }

  function details(e) {
    var f = e.fields, parts = [];
    if (Array.isArray(f.changes)) {
      f.changes.forEach(function (c) {
        if (c && typeof c === "object") parts.push(String(c.field) + ": " + String(c.old) + " → " + String(c["new"]));
      });
    }
    Object.keys(f).forEach(function (k) {
      if (k === "changes") return;
      var v = f[k];
      if (v === "" || v === null || v === undefined) return;
      parts.push(k + "=" + (typeof v === "object" ? JSON.stringify(v) : String(v)));
    });
    return parts.join(", ");
  }

  function rowHtml(e) {
    var h = U.escapeHtml, mac = E.serviceMac(e.mac), name = view.names[mac];
    var device = mac ? (name ? name + " " : "") + mac + (e.address ? " · " + e.address : "") : e.address;
    return "<tr data-id='" + e.id + "' data-kind='" + h(e.kind) + "'><td class='mono' title='" + h(e.time) + "'>" +
      h(E.localTime(e.time, "-")) + "</td><td>" + h(KIND_WORDS[e.kind] || e.kind) + "</td><td class='mono'>" + h(device) +
      "</td><td>" + h(e.text) + "</td><td class='muted'>" + h(details(e)) + "</td></tr>";
  }

  function render() {
    $("#ev-rows").html(view.rows.map(rowHtml).join(""));
    $("#ev-empty").prop("hidden", !view.loaded || view.rows.length > 0);
    $("#ev-older").prop("hidden", !view.loaded || !view.more).prop("disabled", view.loading);
    if (view.error) {
      state(view.error, "fault");
    } else if (view.loaded) {
      var lost = Math.max(view.lost || 0, E.state.lost || 0);
      state(view.rows.length + (view.rows.length === 1 ? " event" : " events") + " shown" +
        (lost ? "; the server counts " + lost + " events lost (never stored)" : ""), lost ? "warn" : "muted");
    }
    var live = E.state.error ? "New events cannot be read: " + E.state.error + ". Shown as read before; retrying every second." : "";
    $("#ev-feed").text(live).prop("hidden", !live);
  }

  function state(text, kind) { U.message("#ev-state", text, kind); }

  // The first page for the filter; `older` reads the next page back.
  function load(older) {
    var f = filter(), gen = older ? view.generation : ++view.generation;
    var q = query(f);
    q.limit = PAGE;
    if (older) {
      q.before = view.rows.length ? view.rows[view.rows.length - 1].id : 1;
    } else {
      view.rows = [];
      view.loaded = false;
      view.buffered = [];
      var cursor = E.cursor();
      view.newest = cursor === null ? 0 : cursor;
      if (cursor !== null) q.before = cursor + 1;
    }
    view.loading = true;
    view.error = "";
    state("Reading…", "muted");
    render();
    return E.get(q).then(function (answer) {
      if (gen !== view.generation) return;
      var list = answer.list;
      view.rows = view.rows.concat(list);
      view.more = list.length >= PAGE;
      if (!older) {
        if (!view.newest) view.newest = list.length ? list[0].id : answer.newest_id;
        // What the feed brought meanwhile, newer than the page.
        var fresh = view.buffered.filter(function (e) { return e.id > view.newest; });
        view.buffered = [];
        fresh.forEach(add);
      }
      view.loaded = true;
      view.loading = false;
      view.lost = Number(answer.lost) || 0;
      render();
    }, function (err) {
      if (gen !== view.generation) return;
      view.loading = false;
      if (!older) { view.rows = []; view.loaded = false; }
      view.error = (older ? "Older events cannot be read: " : "The event history cannot be read: ") + E.why(err) + ".";
      render();
    });
  }

  function add(e) {
    if (e.id <= view.newest) return;
    view.newest = e.id;
    view.rows.unshift(e);
    if (view.rows.length > MAX_SHOWN) { view.rows.length = MAX_SHOWN; view.more = true; }
  }

  function onEvent(e) {
    if (!matches(e, filter())) return;
    if (view.loading && !view.loaded) { view.buffered.push(e); return; }
    if (!view.loaded) return;
    add(e);
    if (U.currentTab() === "events") renderSoon();
  }

  var renderSoon = U.coalesce(render);

  // The devices the history may speak of, for the filter and the names.
  function readDevices() {
    return S.json("GET", "/api/inventory", { offline: 1 }).then(function (answer) {
      var agents = Array.isArray(answer.agents) ? answer.agents : [];
      var sel = $("#ev-device"), chosen = sel.val();
      view.names = {};
      var opts = agents.filter(function (a) { return a && a.mac; }).map(function (a) {
        var mac = E.serviceMac(a.mac);
        view.names[mac] = String(a.name || "");
        return { mac: mac, label: (a.name ? a.name + " — " : "") + mac + (a.address ? " — " + a.address : "") +
          (a.online === false ? " (offline)" : "") };
      }).sort(function (a, b) { return a.label < b.label ? -1 : 1; });
      sel.find("option:not(:first)").remove();
      opts.forEach(function (o) { sel.append($("<option>").val(o.mac).text(o.label)); });
      if (chosen && view.names[chosen] === undefined) sel.append($("<option>").val(chosen).text(chosen));
      sel.val(chosen || "");
    }, function () { /* the device list stays as it was; the events themselves still show */ });
  }

  function init() {
    E.on("*", onEvent);
    E.onStart(function () { if (view.loaded) load(false); });  // a new store: its history afresh
    E.onState(function () { if (U.currentTab() === "events") render(); });
    U.onTab(function (name) {
      if (name !== "events") return;
      readDevices().then(function () { if (!view.loaded && !view.loading) load(false); else render(); });
    });
    $("#ev-device, #ev-kind").on("change", function () { load(false); });
    $("#ev-older").on("click", function () { load(true); });
  }

  FV.events = { init: init, view: view, load: load };
})();
