#include "app/serve/Badge.h"

#include <cmath>
#include <cstring>
#include <iterator>

#include "app/serve/StatusApi.h"
#include "app/serve/StatusEscape.h"

namespace app {

namespace {

constexpr const char* kGreen = "#2e7d32";
constexpr const char* kYellowGreen = "#7a8b14";
constexpr const char* kOrange = "#b35c00";
constexpr const char* kRed = "#c62828";
constexpr const char* kGrey = "#6b6b6b";
constexpr const char* kBlue = "#1565c0";

// A width for text in 11 px sans-serif, near enough for a badge: narrow,
// wide and capital letters apart; anything beyond ASCII as a wide one.
int TextWidth(const std::string& text) {
    int w = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) == 0x80) continue;  // a UTF-8 continuation byte
        if (std::strchr("iljtfr.,:;!| '()[]1I", c) && c)
            w += 4;
        else if (std::strchr("mwMW%@", c) && c)
            w += 10;
        else if ((c >= 'A' && c <= 'Z') || c >= 0x80)
            w += 8;
        else
            w += 7;
    }
    return w;
}

std::string UptimeColor(double percent) {
    if (percent >= 99.9) return kGreen;
    if (percent >= 99) return kYellowGreen;
    if (percent >= 95) return kOrange;
    return kRed;
}

// The value of one query parameter, "" when absent; found says whether it was there.
std::string QueryValue(const std::string& target, const std::string& name, bool* found) {
    *found = false;
    const std::size_t q = target.find('?');
    if (q == std::string::npos) return "";
    for (std::size_t at = q + 1; at <= target.size();) {
        std::size_t end = target.find('&', at);
        if (end == std::string::npos) end = target.size();
        const std::string pair = target.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name) {
            *found = true;
            return eq == std::string::npos ? "" : pair.substr(eq + 1);
        }
        at = end + 1;
    }
    return "";
}

}  // namespace

std::string BadgeSvg(const std::string& label, const std::string& value, const std::string& color,
                     const std::string& title) {
    const int lw = TextWidth(label) + 12, vw = TextWidth(value) + 12, w = lw + vw;
    const std::string L = EscapeMarkup(label), V = EscapeMarkup(value), T = EscapeMarkup(title);
    const auto n = [](int v) { return std::to_string(v); };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + n(w) +
                      "\" height=\"20\" role=\"img\" aria-label=\"" + L + ": " + V + "\">";
    svg += "<title>" + T + "</title>";
    svg +=
        "<linearGradient id=\"s\" x2=\"0\" y2=\"100%\"><stop offset=\"0\" stop-color=\"#bbb\" "
        "stop-opacity=\".1\"/><stop offset=\"1\" stop-opacity=\".1\"/></linearGradient>";
    svg +=
        "<clipPath id=\"r\"><rect width=\"" + n(w) + "\" height=\"20\" rx=\"3\" fill=\"#fff\"/></clipPath>";
    svg += "<g clip-path=\"url(#r)\"><rect width=\"" + n(lw) + "\" height=\"20\" fill=\"#555\"/><rect x=\"" +
           n(lw) + "\" width=\"" + n(vw) + "\" height=\"20\" fill=\"" + EscapeMarkup(color) +
           "\"/><rect width=\"" + n(w) + "\" height=\"20\" fill=\"url(#s)\"/></g>";
    svg +=
        "<g fill=\"#fff\" text-anchor=\"middle\" font-family=\"Verdana,Geneva,DejaVu Sans,sans-serif\" "
        "font-size=\"11\">";
    svg += "<text x=\"" + n(lw / 2) + "\" y=\"14\">" + L + "</text>";
    svg += "<text x=\"" + n(lw + vw / 2) + "\" y=\"14\">" + V + "</text></g></svg>\n";
    return svg;
}

TBadgeAnswer BadgeFor(const TStatusSnapshot& s, const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    static const std::string kPrefix = "/badge/";
    if (path.compare(0, kPrefix.size(), kPrefix) != 0) return {};
    const std::size_t slash = path.find('/', kPrefix.size());
    if (slash == std::string::npos || slash == kPrefix.size() || slash - kPrefix.size() > 3) return {};
    const std::string slotText = path.substr(kPrefix.size(), slash - kPrefix.size());
    if (slotText.find_first_not_of("0123456789") != std::string::npos || slotText[0] == '0') return {};
    const std::string kind = path.substr(slash + 1);
    if (kind != "status.svg" && kind != "uptime.svg" && kind != "response.svg") return {};
    const THostStatus* h = s.BySlot(std::stoi(slotText));
    if (!h) return {};

    std::string label, value, color = kGrey;
    if (kind == "status.svg") {
        label = "status";
        value = h->Up ? "up" : "down";
        color = h->Up ? kGreen : kRed;
    } else if (kind == "response.svg") {
        label = "response";
        value = h->Up ? std::to_string(std::llround(h->Ms)) + " ms" : "down";
        color = h->Up ? kBlue : kRed;
    } else {
        bool found = false;
        std::string window = QueryValue(target, "window", &found);
        if (!found) window = kUptimeWindows[0];
        std::size_t w = 0;
        while (w < std::size(kUptimeWindows) && window != kUptimeWindows[w]) ++w;
        if (w == std::size(kUptimeWindows)) return {400, "The window must be 24h, 7d or 30d\n"};
        label = "uptime " + window;
        if (!s.History) {
            value = "no history";
        } else if (h->Uptime[w] < 0) {
            value = "no checks";
        } else {
            value = UptimePercentText(h->Uptime[w]) + "%";
            color = UptimeColor(h->Uptime[w]);
        }
    }
    return {200, BadgeSvg(label, value, color, h->Host + ": " + label + " " + value)};
}

}  // namespace app
