// The developer's SOAP console: the server's sample requests, loaded,
// edited and sent as SOAP 1.1 or 1.2, with the raw answer shown.
(function () {
  "use strict";
  var SOAP11 = "http://schemas.xmlsoap.org/soap/envelope/";
  var SOAP12 = "http://www.w3.org/2003/05/soap-envelope";
  var ENC11 = "http://schemas.xmlsoap.org/soap/encoding/";
  var ENC12 = "http://www.w3.org/2003/05/soap-encoding";
  var envelope = FV.soap.envelope, escapeXml = FV.soap.escapeXml;

  // Posts one raw request; calls done(xhr) whatever the outcome.
  function post(body, version, done) {
    $.ajax({
      url: "/", type: "POST", data: body, processData: false, dataType: "text",
      contentType: version === "1.2" ? "application/soap+xml; charset=utf-8" : "text/xml; charset=utf-8",
      complete: done
    });
  }

  function faultText(doc) {
    var fault = $(doc).find("faultstring, SOAP-ENV\\:Text, Text").first();
    return fault.length ? fault.text() : null;
  }

  function parse(text) {
    try { return $.parseXML(text); } catch (e) { return null; }
  }

  // The answer indented, one element a line, for reading; text that is not
  // well-formed XML is shown as it came.
  function pretty(text) {
    var doc = parse(text);
    if (!doc || !doc.documentElement || doc.getElementsByTagName("parsererror").length) return text;
    var out = [];
    var decl = /^\s*(<\?xml[^>]*\?>)/.exec(text);
    if (decl) out.push(decl[1]);
    function attrs(el) {
      var a = "";
      for (var i = 0; i < el.attributes.length; i++) {
        a += " " + el.attributes[i].name + '="' + escapeXml(el.attributes[i].value) + '"';
      }
      return a;
    }
    function walk(el, depth) {
      var pad = new Array(depth + 1).join("  ");
      var kids = [], textOnly = true, i, c;
      for (i = 0; i < el.childNodes.length; i++) {
        c = el.childNodes[i];
        if (c.nodeType === 1) { kids.push(c); textOnly = false; }
        else if ((c.nodeType === 3 || c.nodeType === 4) && /\S/.test(c.nodeValue)) kids.push(c);
      }
      var open = "<" + el.nodeName + attrs(el);
      if (!kids.length) { out.push(pad + open + "/>"); return; }
      if (textOnly) {
        out.push(pad + open + ">" + escapeXml(el.textContent) + "</" + el.nodeName + ">");
        return;
      }
      out.push(pad + open + ">");
      kids.forEach(function (k) {
        if (k.nodeType === 1) walk(k, depth + 1);
        else out.push(pad + "  " + escapeXml(k.nodeValue.trim()));
      });
      out.push(pad + "</" + el.nodeName + ">");
    }
    walk(doc.documentElement, 0);
    return out.join("\n");
  }

  function setStatus(text, kind) {
    $("#status").text(text).attr("class", kind || "");
  }

  function loadList() {
    $("#samples").html("<li>loading…</li>");
    post(envelope("GetReqXmlList"), "1.1", function (xhr) {
      var doc = parse(xhr.responseText);
      var names = doc ? $(doc).find("ReqXml").map(function () { return $(this).text(); }).get() : [];
      var list = $("#samples").empty();
      if (!names.length) {
        var why = doc ? (faultText(doc) || "no sample requests") : "no answer";
        list.append($("<li class='fault'>").text("Could not list samples: " + why));
        return;
      }
      names.sort().forEach(function (name) {
        list.append($("<li>").text(name.replace(/^Device\./, "").replace(/\.req\.xml$/, "")).attr("data-name", name));
      });
    });
  }

  function loadSample(item) {
    var name = item.attr("data-name");
    $("#samples li").removeClass("chosen");
    item.addClass("chosen");
    $("#chosen").text(name);
    post(envelope("GetReqXmlFile", { strXmlName: name }), "1.1", function (xhr) {
      var doc = parse(xhr.responseText);
      var content = doc ? $(doc).find("strXmlContent") : $();
      if (content.length) {
        $("#request").val(content.text());
        setStatus("");
      } else {
        setStatus("Could not load " + escapeXml(name) + ": " + (doc && faultText(doc) || "no answer"), "fault");
      }
    });
  }

  function send() {
    var body = $("#request").val();
    var version = $("#version").val();
    if (version === "1.2") body = body.split(SOAP11).join(SOAP12).split(ENC11).join(ENC12);
    var started = Date.now();
    $("#send").prop("disabled", true);
    setStatus("sending…");
    post(body, version, function (xhr) {
      $("#send").prop("disabled", false);
      var ms = Date.now() - started;
      $("#response").text(xhr.responseText ? pretty(xhr.responseText) : "(no answer: " + xhr.statusText + ")");
      var doc = parse(xhr.responseText || "");
      var fault = doc && faultText(doc);
      if (fault) setStatus("Fault after " + ms + " ms: " + fault, "fault");
      else if (xhr.status >= 200 && xhr.status < 300) setStatus("HTTP " + xhr.status + " in " + ms + " ms", "ok");
      else setStatus("HTTP " + xhr.status + " " + xhr.statusText, "fault");
    });
  }

  function init() {
    $("#samples").on("click", "li[data-name]", function () { loadSample($(this)); });
    $("#reload").on("click", loadList);
    $("#send").on("click", send);
    loadList();
  }

  FV.console = { init: init, loadList: loadList, pretty: pretty };
})();
