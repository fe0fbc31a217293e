// The settings form of one selected device: only what its bitmap words say
// it supports, checked before anything is sent.
(function () {
  "use strict";
  var F = FV.fields, U = FV.ui, D = FV.devices;
  var shown = null;       // key of the device in the form
  var shownData = "";     // its data when the form was built
  var dirty = false;      // the user changed something not yet applied

  function current() { return shown ? D.get(shown) : null; }

  function inputFor(s, value) {
    var id = "set-" + s.name;
    if (s.kind === "choice") {
      var known = s.choices.some(function (c) { return c[0] === value; });
      var opts = s.choices.concat(known ? [] : [[value, "Other (" + value + ")"]]);
      return '<select id="' + id + '" data-name="' + s.name + '">' + opts.map(function (c) {
        return '<option value="' + c[0] + '"' + (c[0] === value ? " selected" : "") + ">" + U.escapeHtml(c[1]) + "</option>";
      }).join("") + "</select>";
    }
    return '<input id="' + id + '" data-name="' + s.name + '"' + (s.secret ? ' type="password"' : "") +
      ' value="' + U.escapeHtml(value) + '"' + (s.kind === "text" ? ' maxlength="' + s.max + '"' : "") + ">";
  }

  // The field's limit, in sight below it.
  function limitText(s, value) {
    if (s.kind === "text") return F.utf8Length(value || "") + " of at most " + s.max + " bytes";
    if (s.kind === "num") return "a whole number from " + s.min + " to " + s.max;
    return "";
  }

  function hintFor(s, value) {
    var text = limitText(s, value);
    return text ? '<div class="hint" id="hint-' + s.name + '">' + U.escapeHtml(text) + "</div>" : "";
  }

  function settingNamed(name) { return F.SETTINGS.filter(function (x) { return x.name === name; })[0]; }

  // What is wrong with a value, in words, or "". A text longer than its
  // field is refused, never cut.
  function problem(s, v) {
    var err = F.validate(s, v);
    if (!err) return "";
    if (s.kind === "text") {
      return "Too long: " + F.utf8Length(v) + " bytes, and " + s.label + " holds at most " + s.max +
        ". Shorten it; nothing is cut.";
    }
    return "Expected " + err;
  }

  // Checks one field as it is edited: its count, and its message at once.
  function check(el) {
    var name = el.attr("data-name"), s = settingNamed(name);
    if (!s) return true;
    var v = String(el.val()), err = el.prop("disabled") ? "" : problem(s, v);
    el.toggleClass("invalid", !!err);
    $("#err-" + name).text(err).prop("hidden", !err);
    var over = s.kind === "text" && F.utf8Length(v) > s.max;
    $("#hint-" + name).text(limitText(s, v)).toggleClass("over", over);
    return !err;
  }

  function buildForm(e) {
    var info = e.info, html = [], group = null, groupHtml = [];
    function flush() {
      if (group && groupHtml.length) html.push("<h3>" + U.escapeHtml(group.group) + '</h3><div class="form">' + groupHtml.join("") + "</div>");
      groupHtml = [];
    }
    F.SETTINGS.forEach(function (s) {
      if (s.group) { flush(); group = s; return; }
      if (group.w !== undefined && !F.supports(info, group.w, group.b)) return;
      if (!F.settingShown(info, s)) return;
      groupHtml.push('<label for="set-' + s.name + '">' + U.escapeHtml(s.label) + "</label>" + inputFor(s, info[s.name]) +
        hintFor(s, info[s.name]) + '<div class="err" id="err-' + s.name + '" hidden></div>');
    });
    flush();
    if (!html.length) html.push('<p class="muted">This device announces no settings that can be changed' +
      (info.isLoaderMode ? " while it runs its loader" : "") + ".</p>");
    $("#details-form").html(html.join(""));
    syncDhcp();
    dirty = false;
  }

  function syncDhcp() {
    var dhcp = $("#set-dhcpMode").val() === "1";
    F.SETTINGS.forEach(function (s) { if (s.fixedOnly) $("#set-" + s.name).prop("disabled", dhcp); });
  }

  function show(sel) {
    $("#details-none").prop("hidden", sel.length !== 0);
    $("#details-many").prop("hidden", sel.length < 2);
    $("#details-one").prop("hidden", sel.length !== 1);
    if (sel.length > 1) {
      var watched = sel.filter(function (e) { return e.watched; }).length;
      $("#details-many").html("<h2>" + sel.length + " devices selected</h2><p class='muted'>" + watched +
        " of them watched. Use Watch or Stop watching above, or the Upgrade tab to upgrade them together.</p>");
    }
    if (sel.length !== 1) { shown = null; FV.operations.render(null); return; }
    var e = sel[0], data = JSON.stringify(e.info);
    header(e);
    // Keep the user's edits, and the form as it is while nothing changed.
    if (shown === e.key && (dirty || data === shownData)) return;
    if (shown !== e.key) $("#pw-new, #pw-again").val("");
    var changed = shown !== e.key;
    shown = e.key;
    shownData = data;
    buildForm(e);
    if (changed) FV.operations.render(null);
  }

  function header(e) {
    var i = e.info;
    $("#details-title").text(i.systemName || i.agentIpAddr);
    var state = !e.watched ? "discovered" : D.model.unknown ? "watched, state unknown (the server cannot be reached)" :
      e.alive === 0 ? "watched, not answering" : e.alive === 1 ? "watched, alive" : "watched, no reply seen yet";
    $("#details-sub").text(i.macAddr + " · " + i.agentIpAddr + " · " + (i.productName || "unknown model") + " · " + state +
      (e.watched && e.lastReply ? " · last reply " + e.lastReply : ""));
  }

  // The form's values over the device's own; null when one is invalid.
  function collect() {
    var e = current();
    if (!e) return null;
    var info = $.extend({}, e.info), ok = true;
    $("#details-form [data-name]").each(function () {
      var name = $(this).attr("data-name");
      var s = settingNamed(name);
      if (!check($(this))) { ok = false; return; }
      var v = $(this).val();
      info[name] = s.kind === "num" || s.kind === "choice" ? Number(v) : v;
    });
    info.oldPassword = $("#pw-old").val();
    info.newPasseord = "";
    return ok ? info : null;
  }

  function addressChanged(before, after) {
    return ["agentIpAddr", "agentNetmask", "agentGateway"].some(function (n) { return before[n] !== after[n]; }) ||
      before.dhcpMode !== after.dhcpMode;
  }

  function apply() {
    var e = current(), info = collect();
    if (!e) return;
    if (!info) {
      var first = $("#details-form .invalid").first();
      FV.operations.show("apply", e.info.macAddr, "Nothing sent: " +
        (first.length ? $("label[for='" + first.attr("id") + "']").text() + " — " + $("#err-" + first.attr("data-name")).text() :
          "a field is not valid") , "fault");
      if (first.length) first[0].scrollIntoView({ block: "nearest" });
      return;
    }
    // Unchanged addresses go out zeroed, which the device takes as "keep".
    var operate = addressChanged(e.info, info) ? 0 : 2;
    FV.operations.start(e, info, operate).then(function () { dirty = false; });
  }

  function refusePassword(e, text) {
    FV.operations.note(e, text, "fault");
    FV.operations.show("password", e.info.macAddr, "Nothing sent: " + text, "fault");
  }

  function changePassword() {
    var e = current();
    if (!e) return;
    var a = $("#pw-new").val(), b = $("#pw-again").val();
    if (!a) { refusePassword(e, "Type the new password twice."); return; }
    if (a !== b) { refusePassword(e, "The two new passwords differ."); return; }
    if (F.utf8Length(a) > 20) { refusePassword(e, "A password has at most 20 bytes; nothing is cut."); return; }
    var info = $.extend({}, e.info, { oldPassword: $("#pw-old").val(), newPasseord: a });
    FV.operations.start(e, info, 1).then(function () { $("#pw-new, #pw-again").val(""); });
  }

  function restoreDefaults() {
    var e = current();
    if (!e) return;
    var name = (e.info.systemName || "the device") + " (" + e.info.macAddr + ", " + e.info.agentIpAddr + ")";
    U.confirm("Restore factory defaults?", "All settings of " + name + " go back to their factory values. " +
      "This cannot be undone.", "Restore defaults").then(function (yes) {
      if (!yes) return;
      var info = $.extend({}, e.info, { oldPassword: $("#pw-old").val(), newPasseord: "" });
      FV.operations.start(e, info, 3);
    });
  }

  function init() {
    D.onSelection(show);
    D.onChange(function () { show(D.selectedEntries()); });
    $("#details-form").on("input change", "[data-name]", function () {
      dirty = true;
      if ($(this).attr("data-name") === "dhcpMode") syncDhcp();
      check($(this));
    });
    // The browser would cut a pasted text at the field's length without a
    // word; the whole text goes in instead, and the field says it is too long.
    $("#details-form").on("paste", "input[maxlength]", function (ev) {
      var clip = ev.originalEvent && ev.originalEvent.clipboardData;
      var pasted = clip ? clip.getData("text") : "";
      var el = this, v = el.value, a = el.selectionStart || 0, b = el.selectionEnd || 0;
      var next = v.slice(0, a) + pasted + v.slice(b);
      if (next.length <= Number(el.getAttribute("maxlength"))) return;
      ev.preventDefault();
      el.value = next;
      $(el).trigger("input");
    });
    $("#apply").on("click", apply);
    $("#revert").on("click", function () { var e = current(); if (e) { shownData = JSON.stringify(e.info); buildForm(e); } });
    $("#change-password").on("click", changePassword);
    $("#restore-defaults").on("click", restoreDefaults);
  }

  FV.details = { init: init, collect: collect, current: current };
})();
