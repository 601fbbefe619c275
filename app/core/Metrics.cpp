#include "app/core/Metrics.h"

#include <cstdio>
#include <set>

#include "app/core/MetricsServer.h"
#include "base/Exception.h"
#include "platform/IniFile.h"

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
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string MetricsText(const TPassOutcome* pass) {
    std::vector<const THostOutcome*> hosts;
    if (pass) {
        std::set<std::string> seen;
        for (const auto& h : pass->Hosts)
            if (seen.insert(h.Host).second) hosts.push_back(&h);
    }
    std::string out;
    auto perHost = [&](const Family& f, auto value, bool httpsOnly) {
        Head(out, f);
        for (const THostOutcome* h : hosts) {
            if (httpsOnly && h->CertExpiry == 0) continue;
            out += std::string(f.name) + "{host=\"" + EscapeLabelValue(h->Host) + "\"} " + value(*h) + "\n";
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
    Head(out, kPassTime);
    if (pass) out += std::string(kPassTime.name) + " " + Number("%.3f", pass->EndTime) + "\n";
    Head(out, kPassSuccess);
    if (pass) out += std::string(kPassSuccess.name) + (pass->Passed ? " 1\n" : " 0\n");
    return out;
}

TMetricsPublisher::TMetricsPublisher(TMetricsOptions options) : options_(std::move(options)) {}

TMetricsPublisher::~TMetricsPublisher() = default;

namespace {
void WriteWhole(const std::string& path, const std::string& text) {
    if (!platform::WriteFileAtomically(path, text)) throw base::Exception("Unable to write to " + path);
}
}  // namespace

void TMetricsPublisher::Start() {
    const std::string text = MetricsText(nullptr) + (Extra ? Extra() : "");
    if (!options_.Listen.empty()) {
        auto server = std::make_unique<TMetricsServer>();
        server->Listen(options_.Listen);
        server->SetText(text);
        server_ = std::move(server);
    }
    if (!options_.File.empty()) WriteWhole(options_.File, text);
}

void TMetricsPublisher::Publish(const TPassOutcome& pass) {
    const std::string text = MetricsText(&pass) + (Extra ? Extra() : "");
    if (server_) server_->SetText(text);
    if (!options_.File.empty()) WriteWhole(options_.File, text);
}

}  // namespace app
