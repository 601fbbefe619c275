// The status page's script, served at /status.js. It asks the listener
// (never another address) for /api/v1/status every few seconds and, when a
// new pass has ended, redraws the pool line and the rows as the page draws
// them. Every text goes in through textContent: a host's name or a reason is
// never read as markup.
#include "app/serve/StatusPage.h"

namespace app {

namespace {

constexpr const char* kScript = R"js("use strict";
(function () {
  var main = document.getElementById("hosts");
  if (!main || !window.fetch) return;
  var noHistory = main.hasAttribute("data-nohistory");
  var windows = [["24h", "Uptime 24 h"], ["7d", "7 d"], ["30d", "30 d"]];
  var recentMax = 50, everyMs = 5000, last = null;

  function pad(n) { return (n < 10 ? "0" : "") + n; }
  function when(t) {
    if (!t) return "-";
    var d = new Date(t * 1000);
    return d.getUTCFullYear() + "-" + pad(d.getUTCMonth() + 1) + "-" + pad(d.getUTCDate()) + " " +
      pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes()) + ":" + pad(d.getUTCSeconds()) + " UTC";
  }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function figure(dl, name, value) {
    var d = el("div");
    d.appendChild(el("dt", "", name));
    d.appendChild(el("dd", "", value));
    dl.appendChild(d);
  }
  function poolWords(s) {
    if (!s.time) return "Waiting for the first pass";
    var n = s.hosts.length, hosts = n === 1 ? " host" : " hosts";
    if (n === 0) return "No hosts to check";
    if (s.pool.down === 0) return n === 1 ? "The host is up" : "All " + n + hosts + " up";
    return s.pool.down + " of " + n + hosts + " down";
  }
  function row(h) {
    var s = el("section", "host " + (h.up ? "up" : "down"));
    s.setAttribute("data-slot", String(h.slot));
    var name = el("div", "name");
    name.appendChild(el("span", "slot", String(h.slot)));
    name.appendChild(el("span", "text", h.host));
    s.appendChild(name);
    var state = el("div", "state");
    state.appendChild(el("span", "word", h.up ? "Up" : "Down"));
    state.appendChild(document.createTextNode(" "));
    state.appendChild(el("span", "muted", "since " + when(h.since)));
    if (!h.up) state.appendChild(el("div", "reason", h.reason || ""));
    s.appendChild(state);
    var dl = el("dl", "figures");
    figure(dl, "Response", h.ms + " ms");
    windows.forEach(function (w) {
      var v = h.uptime[w[0]];
      figure(dl, w[1], noHistory ? "n/a" : v === null ? "no checks" : v + "%");
    });
    if (/^https:\/\//i.test(h.host))
      figure(dl, "Certificate", h.cert_days === null ? "unknown" : h.cert_days + " days");
    s.appendChild(dl);
    var strip = el("div", "strip");
    strip.setAttribute("role", "img");
    strip.setAttribute("aria-label", "Last " + h.recent.length + " checks");
    for (var i = h.recent.length; i < recentMax; i++) strip.appendChild(el("span", "mark none"));
    h.recent.forEach(function (c) {
      var m = el("span", "mark " + (c.up ? "up" : "down"));
      m.title = when(c.t) + ", " + (c.up ? "Up" : "Down") + ", " + c.ms + " ms";
      strip.appendChild(m);
    });
    s.appendChild(strip);
    return s;
  }
  function draw(s) {
    var pool = document.getElementById("pool");
    pool.className = "pool " + (!s.time ? "wait" : s.pool.down ? "down" : "up");
    pool.textContent = poolWords(s) + (s.pool.since ? " since " + when(s.pool.since) : "");
    document.getElementById("updated").textContent = when(s.time);
    var rows = document.createDocumentFragment();
    s.hosts.forEach(function (h) { rows.appendChild(row(h)); });
    while (main.firstChild) main.removeChild(main.firstChild);
    main.appendChild(rows);
  }
  function ask() {
    fetch("/api/v1/status", { cache: "no-store" })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (s) {
        if (s && s.time !== last) {
          if (last !== null || s.time !== Number(main.getAttribute("data-time"))) draw(s);
          last = s.time;
        }
      })
      .catch(function () {})
      .then(function () { setTimeout(ask, everyMs); });
  }
  setTimeout(ask, everyMs);
})();
)js";

}  // namespace

const std::string& StatusScript() {
    static const std::string script = kScript;
    return script;
}

}  // namespace app
