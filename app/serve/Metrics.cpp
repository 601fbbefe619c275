#include "app/serve/Metrics.h"

#include <cstdio>

#include "base/Strings.h"

namespace app {

namespace {

struct Family {
    const char* name;
    const char* help;
};

constexpr Family kSuccess{"sentrel_probe_success",
                          "Whether the host passed the last pass (1) or failed (0)."};
constexpr Family kDuration{"sentrel_probe_duration_seconds",
                           "How long the host's request took in the last pass."};
constexpr Family kStatus{"sentrel_probe_http_status_code",
                         "Status code of the host's last reply in the last pass; 0 when no reply came."};
constexpr Family kExpiry{"sentrel_probe_ssl_earliest_cert_expiry",
                         "Expiry of the https host's certificate, in seconds since the epoch."};
constexpr Family kPhase{"sentrel_probe_phase_seconds",
                        "Where the host's request time went in the last pass, by phase, summed over its "
                        "redirects; a proxy's tunnel answer counts as connect."};
constexpr Family kRedirects{"sentrel_probe_http_redirects",
                            "Redirects the host's request followed in the last pass."};
constexpr Family kLength{"sentrel_probe_http_content_length",
                         "Bytes of the body of the host's final reply in the last pass."};
constexpr Family kHostDown{"sentrel_host_down",
                           "Whether the host is confirmed down (1): failed as many checks in a row as it "
                           "takes, and not yet back for as many good ones."};
constexpr Family kQuiet{"sentrel_quiet",
                        "Whether the last pass ended in the quiet hours (1), when nothing is sent."};
constexpr Family kPassTime{"sentrel_pass_timestamp_seconds",
                           "When the last pass ended, in seconds since the epoch."};
constexpr Family kPassSuccess{"sentrel_pass_success",
                              "Whether every host passed the last pass (1) or not (0)."};

void Head(std::string& out, const Family& f) {
    out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " gauge\n";
}

std::string Number(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        const std::size_t n = base::Utf8Length(value, i);
        if (n == 0) {
            // Not UTF-8, which the format requires: the byte is written as
            // the text \xHH (its backslash escaped), so one odd host text
            // cannot make the whole exposition unreadable.
            const auto b = static_cast<unsigned char>(c);
            out += "\\\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
            ++i;
            continue;
        }
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out.append(value, i, n); break;
        }
        i += n;
    }
    return out;
}

std::string MetricsText(const TPassOutcome* pass) {
    std::vector<const THostOutcome*> hosts;
    if (pass)
        for (const auto& h : pass->Hosts) hosts.push_back(&h);
    // The slot (the entry's pool row, or its place in the pass when it has
    // none) keeps apart entries whose shown texts are the same, such as two
    // URLs that differ only in their hidden password.
    auto labels = [&](const THostOutcome& h) {
        const int slot = h.Slot > 0 ? h.Slot : static_cast<int>(&h - &pass->Hosts[0]) + 1;
        return "host=\"" + EscapeLabelValue(h.Host) + "\",slot=\"" + std::to_string(slot) + "\"";
    };
    std::string out;
    auto perHost = [&](const Family& f, auto value, bool httpsOnly) {
        Head(out, f);
        for (const THostOutcome* h : hosts) {
            if (httpsOnly && h->CertExpiry == 0) continue;
            out += std::string(f.name) + "{" + labels(*h) + "} " + value(*h) + "\n";
        }
    };
    perHost(
        kSuccess, [](const THostOutcome& h) { return std::string(h.Passed ? "1" : "0"); }, false);
    perHost(
        kDuration, [](const THostOutcome& h) { return Number("%.6f", h.Seconds); }, false);
    perHost(
        kStatus, [](const THostOutcome& h) { return std::to_string(h.StatusCode); }, false);
    perHost(
        kExpiry, [](const THostOutcome& h) { return std::to_string(h.CertExpiry); }, true);
    perHost(
        kHostDown, [](const THostOutcome& h) { return std::string(h.Down ? "1" : "0"); }, false);
    // Where the time went, for the hosts a request was made for.
    Head(out, kPhase);
    for (const THostOutcome* h : hosts) {
        if (!h->Fetched) continue;
        const double* s = h->Phases.Seconds;
        using P = net::TPhaseTimes;
        const std::pair<const char*, double> phases[] = {{"lookup", s[P::Lookup]},
                                                         {"connect", s[P::Connect] + s[P::Proxy]},
                                                         {"tls", s[P::Tls]},
                                                         {"processing", s[P::FirstByte]},
                                                         {"transfer", s[P::Transfer]}};
        for (const auto& [phase, seconds] : phases)
            out += std::string(kPhase.name) + "{" + labels(*h) + ",phase=\"" + phase + "\"} " +
                   Number("%.6f", seconds) + "\n";
    }
    Head(out, kRedirects);
    for (const THostOutcome* h : hosts)
        if (h->Fetched)
            out += std::string(kRedirects.name) + "{" + labels(*h) + "} " +
                   std::to_string(h->Phases.Hops > 1 ? h->Phases.Hops - 1 : 0) + "\n";
    Head(out, kLength);
    for (const THostOutcome* h : hosts)
        if (h->Fetched)
            out += std::string(kLength.name) + "{" + labels(*h) + "} " + std::to_string(h->Phases.BodyBytes) +
                   "\n";
    Head(out, kPassTime);
    if (pass) out += std::string(kPassTime.name) + " " + Number("%.3f", pass->EndTime) + "\n";
    Head(out, kPassSuccess);
    if (pass) out += std::string(kPassSuccess.name) + (pass->Passed ? " 1\n" : " 0\n");
    Head(out, kQuiet);
    if (pass) out += std::string(kQuiet.name) + (pass->Quiet ? " 1\n" : " 0\n");
    return out;
}

std::string UptimeMetricsText(const std::vector<THostUptime>& uptime) {
    if (uptime.empty()) return "";
    const char* const name = "sentrel_host_uptime_ratio";
    std::string text = std::string("# HELP ") + name +
                       " Share of the host's checks that passed over the window, from the history.\n"
                       "# TYPE " +
                       name + " gauge\n";
    for (std::size_t w = 0; w < std::size(kUptimeWindows); ++w)
        for (const auto& u : uptime) {
            if (u.Ratio[w] < 0) continue;
            text += std::string(name) + "{host=\"" + EscapeLabelValue(u.Host) + "\",slot=\"" +
                    std::to_string(u.Slot) + "\",window=\"" + kUptimeWindows[w] + "\"} " +
                    Number("%.6f", u.Ratio[w]) + "\n";
        }
    return text;
}

std::string HistoryOkMetricsText(const THistoryRecorder& history) {
    if (!history.Configured()) return "";
    return std::string(
               "# HELP sentrel_history_ok Whether the history is being written (1) or off after a failure "
               "(0).\n"
               "# TYPE sentrel_history_ok gauge\nsentrel_history_ok ") +
           (history.Ok() ? "1" : "0") + "\n";
}

}  // namespace app
