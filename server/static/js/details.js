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
        '<div class="err" id="err-' + s.name + '" hidden></div>');
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
    if (sel.length !== 1) { shown = null; return; }
    var e = sel[0], data = JSON.stringify(e.info);
    header(e);
    // Keep the user's edits, and the form as it is while nothing changed.
    if (shown === e.key && (dirty || data === shownData)) return;
    if (shown !== e.key) $("#pw-new, #pw-again").val("");
    shown = e.key;
    shownData = data;
    buildForm(e);
  }

  function header(e) {
    var i = e.info;
    $("#details-title").text(i.systemName || i.agentIpAddr);
    var state = !e.watched ? "discovered" : e.alive === 0 ? "watched, not answering" : "watched, alive";
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
      var s = F.SETTINGS.filter(function (x) { return x.name === name; })[0];
      var v = $(this).val();
      var err = $(this).prop("disabled") ? "" : F.validate(s, v);
      $(this).toggleClass("invalid", !!err);
      $("#err-" + name).text(err ? "Expected " + err : "").prop("hidden", !err);
      if (err) { ok = false; return; }
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
    if (!e || !info) return;
    // Unchanged addresses go out zeroed, which the device takes as "keep".
    var operate = addressChanged(e.info, info) ? 0 : 2;
    FV.operations.start(e, info, operate).then(function () { dirty = false; });
  }

  function changePassword() {
    var e = current();
    if (!e) return;
    var a = $("#pw-new").val(), b = $("#pw-again").val();
    if (!a) { FV.operations.note(e, "Type the new password twice.", "fault"); return; }
    if (a !== b) { FV.operations.note(e, "The two new passwords differ.", "fault"); return; }
    if (F.utf8Length(a) > 20) { FV.operations.note(e, "A password has at most 20 bytes.", "fault"); return; }
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
    });
    $("#apply").on("click", apply);
    $("#revert").on("click", function () { var e = current(); if (e) { shownData = JSON.stringify(e.info); buildForm(e); } });
    $("#change-password").on("click", changePassword);
    $("#restore-defaults").on("click", restoreDefaults);
  }

  FV.details = { init: init, collect: collect, current: current };
})();
