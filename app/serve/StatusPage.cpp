#include "app/serve/StatusPage.h"

#include <cmath>
#include <ctime>
#include <iterator>

#include "app/serve/StatusApi.h"
#include "app/serve/StatusEscape.h"

namespace app {

namespace {

// Colours in pairs that read as text on their ground in both looks; the
// state is always written in words beside its colour.
constexpr const char* kStyle = R"css(
:root{color-scheme:light dark;--bg:#f7f7f8;--fg:#1d1d1f;--muted:#5f6368;--card:#fff;--line:#dadce0;
--up:#1b7f3b;--down:#c62828;--upbg:#e6f4ea;--downbg:#fdecea;--none:#b0b4b9}
@media (prefers-color-scheme:dark){:root{--bg:#15171a;--fg:#e8eaed;--muted:#a0a6ad;--card:#1f2227;
--line:#3a3f45;--up:#5bd17f;--down:#ff7b72;--upbg:#143823;--downbg:#4a1c1a;--none:#5c6168}}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--fg);font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif}
header,main,footer,.note{max-width:1400px;margin:0 auto;padding:12px 16px}
h1{font-size:1.3em;margin:0 0 6px}
.pool{font-size:1.15em;font-weight:600;padding:10px 14px;border-radius:8px;margin:0}
.pool.up{background:var(--upbg);color:var(--up)}.pool.down{background:var(--downbg);color:var(--down)}
.pool.wait{background:var(--card);color:var(--muted)}
.muted,.updated{color:var(--muted);font-size:.9em}
.note{color:var(--muted);font-style:italic}
.host{display:grid;grid-template-columns:minmax(0,2.2fr) minmax(0,1fr) minmax(0,2.4fr) minmax(0,2fr);gap:6px 16px;
align-items:center;background:var(--card);border:1px solid var(--line);border-left:6px solid var(--up);
border-radius:8px;padding:10px 14px;margin:0 0 10px}
.host.down{border-left-color:var(--down)}
.name{font-weight:600;overflow-wrap:anywhere}.slot{color:var(--muted);font-weight:400;margin-right:6px}
.state .word{font-weight:700}.host.up .word{color:var(--up)}.host.down .word{color:var(--down)}
.reason{color:var(--down);overflow-wrap:anywhere;font-size:.9em}
.figures{display:flex;flex-wrap:wrap;gap:4px 14px;margin:0}.figures div{min-width:4.5em}
.figures dt{color:var(--muted);font-size:.8em}.figures dd{margin:0;font-variant-numeric:tabular-nums}
.strip{display:flex;gap:2px;height:22px;align-items:stretch}
.mark{flex:1 1 0;max-width:9px;min-width:3px;border-radius:2px;background:var(--up)}
.mark.down{background:var(--down)}.mark.none{background:var(--none);opacity:.35}
@media (max-width:900px){.host{grid-template-columns:1fr}}
)css";

std::string Figure(const std::string& name, const std::string& value) {
    return "<div><dt>" + name + "</dt><dd>" + value + "</dd></div>";
}

std::string MsText(double ms) {
    return std::to_string(std::llround(std::max(ms, 0.0))) + " ms";
}

std::string HostRow(const THostStatus& h, bool history) {
    std::string r = "<section class=\"host " + std::string(h.Up ? "up" : "down") + "\" data-slot=\"" +
                    std::to_string(h.Slot) + "\">";
    r += "<div class=\"name\"><span class=\"slot\">" + std::to_string(h.Slot) +
         "</span><span class=\"text\">" + EscapeMarkup(h.Host) + "</span></div>";
    r += "<div class=\"state\"><span class=\"word\">" + std::string(h.Up ? "Up" : "Down") +
         "</span> <span class=\"muted\">since " + StatusTimeText(h.Since) + "</span>";
    if (!h.Up) r += "<div class=\"reason\">" + EscapeMarkup(h.Reason) + "</div>";
    r += "</div><dl class=\"figures\">" + Figure("Response", MsText(h.Ms));
    static const char* kNames[] = {"Uptime 24 h", "7 d", "30 d"};
    for (std::size_t w = 0; w < std::size(kUptimeWindows); ++w)
        r += Figure(kNames[w], !history          ? "n/a"
                               : h.Uptime[w] < 0 ? "no checks"
                                                 : UptimePercentText(h.Uptime[w]) + "%");
    if (h.Https)
        r += Figure("Certificate", h.CertDays >= 0 ? std::to_string(h.CertDays) + " days" : "unknown");
    r += "</dl><div class=\"strip\" role=\"img\" aria-label=\"Last " + std::to_string(h.Recent.size()) +
         " checks\">";
    for (std::size_t i = h.Recent.size(); i < TStatusModel::kRecent; ++i)
        r += "<span class=\"mark none\"></span>";
    for (const TStatusCheck& c : h.Recent)
        r += "<span class=\"mark " + std::string(c.Up ? "up" : "down") + "\" title=\"" +
             StatusTimeText(c.Time) + ", " + (c.Up ? "Up" : "Down") + ", " + MsText(c.Ms) + "\"></span>";
    return r + "</div></section>";
}

}  // namespace

std::string StatusTimeText(std::int64_t t) {
    if (t <= 0) return "-";
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string StatusPageHtml(const TStatusSnapshot& s) {
    std::string p;
    p.reserve(4096 + s.Hosts.size() * 6144);
    p += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Sentrel status</title><link rel=\"icon\" href=\"data:,\"><style>";
    p += kStyle;
    p += "</style><script src=\"/status.js\" defer></script></head><body><header><h1>Sentrel status</h1>";
    const char* poolClass = s.Time == 0 ? "wait" : s.DownCount() ? "down" : "up";
    p += "<p id=\"pool\" class=\"pool " + std::string(poolClass) + "\">" + EscapeMarkup(StatusPoolWords(s));
    if (s.PoolSince > 0) p += " since " + StatusTimeText(s.PoolSince);
    p += "</p><p class=\"updated\">Last pass: <span id=\"updated\">" + StatusTimeText(s.Time) +
         "</span></p></header>";
    if (!s.History)
        p += "<p class=\"note\" id=\"nohistory\">Uptime needs the history, which is off: the states below "
             "are those "
             "since the start.</p>";
    p += "<main id=\"hosts\" data-time=\"" + std::to_string(s.Time) + "\"" +
         std::string(s.History ? "" : " data-nohistory=\"1\"") + ">";
    for (const THostStatus& h : s.Hosts) p += HostRow(h, s.History);
    p += "</main><footer class=\"muted\">Read-only. The same figures as JSON: <a href=\"/api/v1/status\">"
         "/api/v1/status</a>.</footer></body></html>\n";
    return p;
}

}  // namespace app
