// The server's event feed, read with a cursor: every page and command line
// sees every event (traps, device-set outcomes, …), and none is taken from
// another. One follower per page asks for the events after the last one it
// saw about once a second and hands each to the listeners of its kind.
(function () {
  "use strict";
  var S = FV.soap, U = FV.ui;
  var PAGE = 1000;
  var POLL_MS = 1000;
  var QUICK_MS = 250;     // while this page waits for an outcome
  // A page this far behind (asleep for hours under a trap storm) starts
  // afresh from the newest event rather than reading its way through.
  var BEHIND_MAX = 20000;
  var quick = function () { return false; };
  var state = {
    cursor: null,     // id of the last event handed out; null until the start is known
    error: "",        // why the feed cannot be read now ("" while it can)
    lost: 0
  };
  var listeners = {}, startListeners = [], stateListeners = [];
  var poller = null;

  function setError(text) {
    if (state.error === text) return;
    state.error = text;
    stateListeners.forEach(function (fn) { fn(state.error); });
  }

  function why(err) {
    if (err.kind === "network") return "the server cannot be reached";
    if (err.status === 404) return "this server keeps no event history (HTTP 404)";
    return String(err);
  }

  function dispatch(e) {
    (listeners[e.kind] || []).concat(listeners["*"] || []).forEach(function (fn) {
      try { fn(e); } catch (x) { setTimeout(function () { throw x; }, 0); }
    });
  }

  // Events in the shape the feed promises; anything else is left out.
  function events(answer) {
    var list = Array.isArray(answer.events) ? answer.events : [];
    return list.filter(function (e) {
      return e && typeof e === "object" && typeof e.id === "number" && typeof e.kind === "string";
    }).map(function (e) {
      return { id: e.id, time: String(e.time || ""), kind: e.kind, mac: String(e.mac || ""),
        address: String(e.address || ""), text: String(e.text || ""),
        fields: e.fields && typeof e.fields === "object" ? e.fields : {} };
    });
  }

  function get(query) {
    return S.json("GET", "/api/events", query).then(function (answer) {
      if (typeof answer.newest_id !== "number") {
        var err = new S.SoapError("http", "the event feed's answer has no newest_id");
        throw err;
      }
      answer.list = events(answer);
      return answer;
    });
  }

  // Also while the server is out of reach: the first answer that comes
  // again tells the page it is back.
  function poll() {
    if (state.cursor === null) {
      // The start: what is stored up to now is history (listeners read
      // what they need of it), what comes after is followed.
      return get({ limit: 1 }).then(function (answer) {
        state.cursor = answer.newest_id;
        state.lost = Number(answer.lost) || 0;
        setError("");
        startListeners.forEach(function (fn) { fn(state.cursor); });
      }, function (err) { setError(why(err)); });
    }
    return get({ order: "asc", after: state.cursor, limit: PAGE }).then(function (answer) {
      setError("");
      state.lost = Number(answer.lost) || 0;
      if (answer.newest_id < state.cursor) {
        // A new store (ids start again): read its history afresh.
        state.cursor = null;
        poller.now();
        return;
      }
      answer.list.forEach(function (e) {
        if (e.id <= state.cursor) return;
        state.cursor = e.id;
        dispatch(e);
      });
      if (answer.list.length >= PAGE) {  // more are waiting
        if (answer.newest_id - state.cursor > BEHIND_MAX) state.cursor = null;
        poller.now();
      }
    }, function (err) { setError(why(err)); });
  }

  // The event's time on this machine's clock, "YYYY/MM/DD HH:MM:SS" (sep
  // "/"), or "YYYY-MM-DD HH:MM:SS" (sep "-").
  function localTime(iso, sep) {
    var d = new Date(iso);
    if (isNaN(d.getTime())) return iso;
    function two(n) { return n < 10 ? "0" + n : "" + n; }
    sep = sep || "/";
    return d.getFullYear() + sep + two(d.getMonth() + 1) + sep + two(d.getDate()) + " " + U.clock(d);
  }

  // A MAC as the service writes it (upper case, "-").
  function serviceMac(mac) { return String(mac || "").toUpperCase().replace(/:/g, "-"); }

  function init() {
    poller = new U.Poller(poll, function () { return quick() ? QUICK_MS : POLL_MS; }).start(0);
  }

  FV.feed = {
    init: init, get: get, state: state, localTime: localTime, serviceMac: serviceMac, why: why,
    cursor: function () { return state.cursor; },
    // fn(event) for each new event of `kind` ("*": every kind).
    on: function (kind, fn) { (listeners[kind] = listeners[kind] || []).push(fn); },
    // fn(cursor) when the follower (re)starts after the newest stored event.
    onStart: function (fn) { startListeners.push(fn); if (state.cursor !== null) fn(state.cursor); },
    // fn(error) when the feed can no longer be read ("" when it can again).
    onState: function (fn) { stateListeners.push(fn); },
    now: function () { if (poller) poller.now(); },
    // fn() true while the page waits for something: the feed is read more often.
    quickWhile: function (fn) { quick = fn; }
  };
})();
