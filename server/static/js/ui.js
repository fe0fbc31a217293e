// Small page helpers: tabs, the confirmation dialog, messages, pollers.
(function () {
  "use strict";
  var tabListeners = [];
  var current = "devices";

  function showTab(name) {
    current = name;
    $("nav.tabs button").each(function () { $(this).toggleClass("active", $(this).attr("data-tab") === name); });
    $(".view").each(function () { $(this).toggleClass("active", $(this).attr("data-view") === name); });
    tabListeners.forEach(function (fn) { fn(name); });
  }

  // A modal question; resolves true when the user confirms.
  function confirmAction(title, text, okLabel) {
    return new Promise(function (resolve) {
      $("#modal-title").text(title);
      // A text, or nodes for a question that needs more than one line.
      if (typeof text === "string") $("#modal-text").text(text); else $("#modal-text").empty().append(text);
      $("#modal-ok").text(okLabel || "OK");
      $("#modal").addClass("shown");
      function done(answer) {
        $("#modal").removeClass("shown");
        $("#modal-ok, #modal-cancel").off("click.modal");
        $(document).off("keydown.modal");
        resolve(answer);
      }
      $("#modal-ok").on("click.modal", function () { done(true); });
      $("#modal-cancel").on("click.modal", function () { done(false); });
      $(document).on("keydown.modal", function (e) { if (e.key === "Escape") done(false); });
      $("#modal-cancel").focus();
    });
  }

  // Sets a message and its kind (ok, fault, muted…), keeping the classes
  // the element names in data-class.
  function message(selector, text, kind) {
    var el = $(selector);
    el.text(text).attr("title", text).attr("class", ((el.attr("data-class") || "") + " " + (kind || "")).trim());
  }

  // Runs task() now and then again `interval()` ms after each run has
  // finished, so a slow server never gets overlapping polls.
  function Poller(task, interval) {
    this.task = task;
    this.interval = interval;
    this.timer = null;
    this.running = false;
    this.busy = false;
  }
  Poller.prototype.start = function (delay) {
    this.running = true;
    this.schedule(delay === undefined ? 0 : delay);
    return this;
  };
  Poller.prototype.stop = function () {
    this.running = false;
    clearTimeout(this.timer);
    this.timer = null;
  };
  Poller.prototype.schedule = function (delay) {
    var self = this;
    clearTimeout(this.timer);
    this.timer = setTimeout(function () { self.run(); }, delay);
  };
  Poller.prototype.run = function () {
    var self = this;
    if (!this.running) return;
    if (this.busy) { this.schedule(200); return; }
    this.busy = true;
    var done = function () {
      self.busy = false;
      if (self.running) self.schedule(self.interval());
    };
    Promise.resolve().then(function () { return self.task(); }).then(done, done);
  };
  // Runs the task as soon as the current run (if any) ends.
  Poller.prototype.now = function () {
    if (this.running) this.schedule(0);
  };

  // fn wrapped so that many calls in a row run it once, right after.
  function coalesce(fn) {
    var due = false;
    return function () {
      if (due) return;
      due = true;
      setTimeout(function () { due = false; fn(); }, 0);
    };
  }

  function escapeHtml(text) {
    return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;");
  }

  function clock(date) {
    function two(n) { return n < 10 ? "0" + n : "" + n; }
    return two(date.getHours()) + ":" + two(date.getMinutes()) + ":" + two(date.getSeconds());
  }

  FV.ui = {
    showTab: showTab, currentTab: function () { return current; },
    onTab: function (fn) { tabListeners.push(fn); },
    confirm: confirmAction, message: message, Poller: Poller, escapeHtml: escapeHtml, clock: clock,
    coalesce: coalesce
  };
})();
