// The SOAP client of the page: one function that posts an operation and
// resolves with its response element, and the server's reachability, which
// every call updates. The server answers one request per connection.
var FV = window.FV = window.FV || {};
(function () {
  "use strict";
  var SOAP11 = "http://schemas.xmlsoap.org/soap/envelope/";

  function escapeXml(text) {
    return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
      .replace(/"/g, "&quot;");
  }

  // Parameters: a plain object in the order the operation lists them; an
  // array repeats the element, an object nests one.
  function element(name, value) {
    if (Array.isArray(value)) return value.map(function (v) { return element(name, v); }).join("");
    if (value !== null && typeof value === "object") {
      return "<" + name + ">" + Object.keys(value).map(function (k) { return element(k, value[k]); }).join("") +
        "</" + name + ">";
    }
    return "<" + name + ">" + escapeXml(value === undefined || value === null ? "" : value) + "</" + name + ">";
  }

  function envelope(operation, params) {
    var children = params ? Object.keys(params).map(function (k) { return element(k, params[k]); }).join("") : "";
    return '<?xml version="1.0" encoding="UTF-8"?>\n' +
      '<SOAP-ENV:Envelope xmlns:SOAP-ENV="' + SOAP11 + '" xmlns:ns="urn:Halvex">' +
      "<SOAP-ENV:Body><ns:" + operation + ">" + children + "</ns:" + operation + ">" +
      "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  }

  function firstElement(node) {
    for (var c = node && node.firstChild; c; c = c.nextSibling) if (c.nodeType === 1) return c;
    return null;
  }

  function child(node, name) {
    for (var c = node && node.firstChild; c; c = c.nextSibling) if (c.nodeType === 1 && c.localName === name) return c;
    return null;
  }

  function children(node, name) {
    var out = [];
    for (var c = node && node.firstChild; c; c = c.nextSibling) if (c.nodeType === 1 && c.localName === name) out.push(c);
    return out;
  }

  function text(node, name) {
    var c = child(node, name);
    return c ? c.textContent : "";
  }

  function number(node, name) {
    var v = parseInt(text(node, name), 10);
    return isNaN(v) ? 0 : v;
  }

  // Reachability: "unknown" until the first answer, then "up" or "down".
  var reach = { state: "unknown", listeners: [], downSince: 0 };

  function setReach(state) {
    if (reach.state === state) return;
    var before = reach.state;
    reach.state = state;
    if (state === "down") reach.downSince = Date.now();
    reach.listeners.forEach(function (fn) { fn(state, before); });
  }

  // kind: "fault", "network" or "bad-answer". A fault's message is the
  // reason the server gave in the fault's detail, else its fault string.
  function SoapError(kind, message, detail) {
    this.kind = kind;
    this.message = detail || message;
    this.faultString = message;
    this.detail = detail || "";
  }
  SoapError.prototype.toString = function () { return this.message; };

  var stats = { calls: 0, faults: 0, failures: 0 };

  // Posts one operation. Resolves with the response element (the body's
  // first child), or null when a one-way operation was accepted; rejects
  // with a SoapError. opts.timeout in ms.
  function call(operation, params, opts) {
    opts = opts || {};
    var body = envelope(operation, params);
    stats.calls++;
    return new Promise(function (resolve, reject) {
      $.ajax({
        url: "/", type: "POST", data: body, processData: false, dataType: "text",
        contentType: "text/xml; charset=utf-8", timeout: opts.timeout || 20000,
        complete: function (xhr, status) {
          stats.lastAnswerAt = performance.now();
          if (xhr.status === 0 || status === "timeout") {
            stats.failures++;
            if (!opts.expectNoAnswer) setReach("down");
            reject(new SoapError("network", status === "timeout" ? "no answer in time" : "server not reachable"));
            return;
          }
          setReach("up");
          if (xhr.status === 202 && !xhr.responseText) {
            resolve(null);  // a one-way operation (GSoapClose) was accepted
            return;
          }
          if (opts.raw) {
            resolve(xhr.responseText || "");
            return;
          }
          var doc = null;
          try { doc = $.parseXML(xhr.responseText); } catch (e) { doc = null; }
          var env = doc && doc.documentElement;
          var bodyEl = env && child(env, "Body");
          var first = firstElement(bodyEl);
          if (!first) {
            reject(new SoapError("bad-answer", "unreadable answer (HTTP " + xhr.status + ")"));
            return;
          }
          if (first.localName === "Fault") {
            stats.faults++;
            var reason = text(first, "faultstring");
            if (!reason) {
              var t = first.getElementsByTagNameNS("*", "Text")[0];
              reason = t ? t.textContent : "fault";
            }
            // The reason is the text of the detail's one element (bare text
            // from older servers): the detail's text either way.
            var detail = child(first, "detail") || child(first, "Detail");
            reject(new SoapError("fault", reason, detail ? $.trim(detail.textContent) : ""));
            return;
          }
          resolve(first);
        }
      });
    });
  }

  // A lean reader for the large answers (10,000 agents make some 28 MB):
  // the browser's XML parser builds a DOM several times slower than this
  // one pass, which turns the answer into plain objects. Elements that may
  // repeat always become arrays; a leaf becomes its decoded text.
  var REPEATED = { arrList: true, ReqXml: true };
  var TOKEN = /<([A-Za-z_][\w.-]*)>([^<]*)<\/\1>|<([A-Za-z_][\w.:-]*)[^>]*?\/>|<(\/?)([A-Za-z_][\w.:-]*)[^>]*>|([^<]+)/g;
  var ENTITY = /&(?:(lt|gt|amp|quot|apos)|#(\d+)|#x([0-9a-fA-F]+));/g;
  var NAMED = { lt: "<", gt: ">", amp: "&", quot: '"', apos: "'" };

  function decode(text) {
    if (text.indexOf("&") < 0) return text;
    return text.replace(ENTITY, function (all, name, dec, hex) {
      if (name) return NAMED[name];
      var code = dec ? parseInt(dec, 10) : parseInt(hex, 16);
      return code > 0 && code <= 0x10FFFF ? String.fromCodePoint(code) : "";
    });
  }

  function localName(name) { return name.slice(name.indexOf(":") + 1); }

  function addValue(frame, name, value) {
    frame.keys = true;
    var o = frame.obj;
    if (REPEATED[name]) (o[name] || (o[name] = [])).push(value);
    else o[name] = value;
  }

  function parseTree(text) {
    var root = { obj: {}, text: "", name: "", keys: false }, stack = [root], top = root, m;
    TOKEN.lastIndex = 0;
    while ((m = TOKEN.exec(text)) !== null) {
      if (m[1] !== undefined) {
        addValue(top, m[1], decode(m[2]));
      } else if (m[3] !== undefined) {
        addValue(top, localName(m[3]), "");
      } else if (m[5] !== undefined) {
        if (m[4] === "/") {
          if (stack.length < 2) continue;  // a stray end tag
          var done = stack.pop();
          top = stack[stack.length - 1];
          addValue(top, done.name, done.keys ? done.obj : decode(done.text));
        } else {
          top = { obj: {}, text: "", name: localName(m[5]), keys: false };
          stack.push(top);
        }
      } else if (m[6] !== undefined && top !== root) {
        top.text += m[6];
      }
    }
    return root.obj;
  }

  // Like call, but resolves with the response element as plain objects
  // (parseTree), for answers that may be large.
  function callTree(operation, params, opts) {
    opts = $.extend({}, opts, { raw: true });
    return call(operation, params, opts).then(function (text) {
      var tree = parseTree(text);
      var body = tree.Envelope && tree.Envelope.Body;
      if (!body || typeof body !== "object") throw new SoapError("bad-answer", "unreadable answer");
      if (body.Fault) {
        stats.faults++;
        // The reason: the detail's reason element, or bare text from older servers.
        var f = body.Fault, d = f.detail || f.Detail;
        if (d && typeof d === "object") d = d.reason;
        throw new SoapError("fault", f.faultstring || (f.Reason && f.Reason.Text) || "fault",
          typeof d === "string" ? $.trim(d) : "");
      }
      for (var k in body) if (k !== "Header") return body[k];
      throw new SoapError("bad-answer", "empty answer");
    });
  }

  // The server's state in a few numbers (GET /api/status): resolves with
  // the object, rejects with a SoapError. A failed fetch marks the server
  // unreachable, as a failed call does.
  var latestStatus = null;
  function status(opts) {
    opts = opts || {};
    stats.calls++;
    return new Promise(function (resolve, reject) {
      $.ajax({
        url: "/api/status", type: "GET", dataType: "text", timeout: opts.timeout || 8000,
        complete: function (xhr, how) {
          if (xhr.status === 0 || how === "timeout") {
            stats.failures++;
            setReach("down");
            reject(new SoapError("network", how === "timeout" ? "no answer in time" : "server not reachable"));
            return;
          }
          setReach("up");
          var state = null;
          try { state = JSON.parse(xhr.responseText); } catch (e) { state = null; }
          if (xhr.status !== 200 || !state || typeof state !== "object") {
            reject(new SoapError("bad-answer", "status unreadable (HTTP " + xhr.status + ")",
              state && state.error ? String(state.error) : ""));
            return;
          }
          latestStatus = state;
          resolve(state);
        }
      });
    });
  }

  // A request to the server's JSON endpoints (/api/...): resolves with the
  // answer's object; rejects with a SoapError of kind "network" (the server
  // is out of reach: marked so, as a failed call does) or "http" (it
  // answered with a status other than 200, or not with JSON; .status holds
  // the HTTP status, the message the server's reason).
  function json(method, path, query, opts) {
    opts = opts || {};
    stats.calls++;
    var url = path + (query && !$.isEmptyObject(query) ? "?" + $.param(query) : "");
    return new Promise(function (resolve, reject) {
      $.ajax({
        url: url, type: method, dataType: "text", timeout: opts.timeout || 15000,
        complete: function (xhr, how) {
          if (xhr.status === 0 || how === "timeout") {
            stats.failures++;
            setReach("down");
            reject(new SoapError("network", how === "timeout" ? "no answer in time" : "server not reachable"));
            return;
          }
          setReach("up");
          var answer = null;
          try { answer = JSON.parse(xhr.responseText); } catch (e) { answer = null; }
          if (xhr.status === 200 && answer && typeof answer === "object") {
            resolve(answer);
            return;
          }
          var reason = answer && typeof answer.error === "string" ? answer.error : "";
          var err = new SoapError("http", "HTTP " + xhr.status + (reason ? ": " + reason :
            xhr.status === 200 ? ": the answer is not JSON" : xhr.status === 404 ? ": not found" : ""), "");
          err.status = xhr.status;
          err.reason = reason;
          reject(err);
        }
      });
    });
  }

  FV.soap = {
    json: json,
    status: status, latestStatus: function () { return latestStatus; },
    callTree: callTree, parseTree: parseTree,
    call: call, envelope: envelope, escapeXml: escapeXml, SoapError: SoapError,
    child: child, children: children, text: text, number: number, stats: stats,
    reach: reach,
    onReach: function (fn) { reach.listeners.push(fn); },
    markUp: function () { setReach("up"); }
  };
})();
