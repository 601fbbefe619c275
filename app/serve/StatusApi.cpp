#include "app/serve/StatusApi.h"

#include <cmath>
#include <cstdio>

#include "app/serve/StatusEscape.h"

namespace app {

namespace {

std::string Int(std::int64_t v) {
    return std::to_string(v);
}

std::string Ms(double ms) {
    return Int(std::llround(std::max(ms, 0.0)));
}

std::string TimeOrNull(std::int64_t t) {
    return t > 0 ? Int(t) : "null";
}

}  // namespace

std::string UptimePercentText(double percent) {
    const double cut = std::floor(std::min(percent, 100.0) * 100) / 100;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", cut);
    std::string text = buf;
    // 99.50 reads 99.5, 100.00 reads 100.
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

std::string StatusJson(const TStatusSnapshot& s) {
    const std::size_t down = s.DownCount();
    std::string out;
    out.reserve(1024 + s.Hosts.size() * 2048);
    out += "{\"time\":" + TimeOrNull(s.Time);
    out += ",\"pool\":{\"up\":" + Int(static_cast<std::int64_t>(s.Hosts.size() - down)) +
           ",\"down\":" + Int(static_cast<std::int64_t>(down)) + ",\"since\":" + TimeOrNull(s.PoolSince) +
           "}";
    out += ",\"hosts\":[";
    for (std::size_t i = 0; i < s.Hosts.size(); ++i) {
        const THostStatus& h = s.Hosts[i];
        if (i) out += ',';
        out += "{\"slot\":" + Int(h.Slot) + ",\"host\":" + JsonString(h.Host);
        out += std::string(",\"up\":") + (h.Up ? "true" : "false") + ",\"since\":" + TimeOrNull(h.Since);
        out += ",\"reason\":" + (h.Up ? std::string("null") : JsonString(h.Reason));
        out += ",\"status\":" + (h.StatusCode > 0 ? Int(h.StatusCode) : std::string("null"));
        out += ",\"ms\":" + Ms(h.Ms) + ",\"uptime\":{";
        for (std::size_t w = 0; w < std::size(kUptimeWindows); ++w) {
            if (w) out += ',';
            out += std::string("\"") + kUptimeWindows[w] +
                   "\":" + (h.Uptime[w] < 0 ? std::string("null") : UptimePercentText(h.Uptime[w]));
        }
        out += "},\"cert_days\":" + (h.CertDays >= 0 ? Int(h.CertDays) : std::string("null"));
        out += ",\"recent\":[";
        bool first = true;
        for (const TStatusCheck& c : h.Recent) {
            if (!first) out += ',';
            first = false;
            out += "{\"t\":" + Int(c.Time) + ",\"up\":" + (c.Up ? "true" : "false") + ",\"ms\":" + Ms(c.Ms) +
                   "}";
        }
        out += "]}";
    }
    return out + "]}\n";
}

}  // namespace app
