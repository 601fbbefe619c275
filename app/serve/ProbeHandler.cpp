#include "app/serve/ProbeHandler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/serve/Metrics.h"
#include "base/Strings.h"

namespace app {

namespace {

constexpr platform::UINT kMsgReap = platform::WM_USER + 1;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query value as a form encodes it: "+" a blank, "%XX" a byte.
std::string QueryDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

void Gauge(std::string& out, const char* name, const char* help, const std::string& value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name + " " + value +
           "\n";
}

std::string Seconds(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

}  // namespace

std::string ProbeText(const TProbeResult& r) {
    std::string out;
    Gauge(out, "probe_success", "Whether the check succeeded (1) or failed (0).", r.Success ? "1" : "0");
    Gauge(out, "probe_duration_seconds", "How long the check took in seconds.", Seconds(r.Seconds));
    if (!r.Phases.empty()) {
        const char* name = "probe_http_duration_seconds";
        out += std::string("# HELP ") + name +
               " Time of each phase of the request, summed over redirects.\n" + "# TYPE " + name + " gauge\n";
        for (const auto& [phase, seconds] : r.Phases)
            out +=
                std::string(name) + "{phase=\"" + EscapeLabelValue(phase) + "\"} " + Seconds(seconds) + "\n";
    }
    Gauge(out, "probe_http_status_code", "Status code of the last reply; 0 when none came.",
          std::to_string(r.StatusCode));
    Gauge(out, "probe_http_redirects", "How many redirections the check followed.",
          std::to_string(r.Redirects));
    Gauge(out, "probe_http_content_length", "Length of the reply's body as received, in bytes.",
          std::to_string(r.BodyBytes));
    // The client asks for no compression, so the body as received is the
    // uncompressed body too.
    Gauge(out, "probe_http_uncompressed_body_length", "Length of the reply's body uncompressed, in bytes.",
          std::to_string(r.BodyBytes));
    Gauge(out, "probe_http_ssl", "Whether the last hop was made over TLS (1) or not (0).", r.Ssl ? "1" : "0");
    Gauge(out, "probe_http_version", "HTTP version of the last reply; 0 when none came.",
          r.HttpVersion.empty() ? "0" : r.HttpVersion);
    Gauge(out, "probe_ip_protocol", "IP version of the address connected to; 0 when unknown or a proxy's.",
          std::to_string(r.IpProtocol));
    Gauge(out, "probe_dns_lookup_time_seconds", "Time spent looking names up, summed over redirects.",
          Seconds(r.LookupSeconds));
    if (r.CertExpiry != 0)
        Gauge(out, "probe_ssl_earliest_cert_expiry",
              "Earliest expiry among the certificates of the https hops, in seconds since the epoch.",
              std::to_string(r.CertExpiry));
    return out;
}

std::string ProbeTarget(const std::string& requestTarget, std::string* error) {
    auto fail = [&](const char* text) {
        if (error) *error = text;
        return std::string();
    };
    const std::size_t q = requestTarget.find('?');
    std::string url;
    bool found = false;
    if (q != std::string::npos) {
        std::size_t at = q + 1;
        while (at <= requestTarget.size() && !found) {
            std::size_t end = requestTarget.find('&', at);
            if (end == std::string::npos) end = requestTarget.size();
            const std::string pair = requestTarget.substr(at, end - at);
            const std::size_t eq = pair.find('=');
            if (QueryDecode(pair.substr(0, eq)) == "target") {
                found = true;
                url = eq == std::string::npos ? "" : QueryDecode(pair.substr(eq + 1));
            }
            at = end + 1;
        }
    }
    if (!found || url.empty()) return fail("Target parameter is missing");
    const std::string scheme = base::LowerCase(url.substr(0, url.find(':')));
    if ((scheme != "http" && scheme != "https") || url.compare(scheme.size(), 3, "://") != 0 ||
        url.size() == scheme.size() + 3)
        return fail("Target must be an http:// or https:// URL");
    if (std::any_of(url.begin(), url.end(), [](char ch) {
            const auto c = static_cast<unsigned char>(ch);
            return c <= 0x20 || c == 0x7F;
        }))
        return fail("Target holds a blank or a control character");
    return url;
}

std::uint32_t ProbeTimeLimitMs(const std::string& header) {
    static const std::string kName = "x-prometheus-scrape-timeout-seconds:";
    double limit = TProbeHandler::kMaxTimeMs / 1000.0;
    for (std::size_t at = header.find('\n'); at != std::string::npos; at = header.find('\n', at + 1)) {
        const std::string line = header.substr(at + 1, header.find('\n', at + 1) - at - 1);
        if (line.size() < kName.size() || base::LowerCase(line.substr(0, kName.size())) != kName) continue;
        char* end = nullptr;
        const std::string value = base::Trim(line.substr(kName.size()));
        const double v = std::strtod(value.c_str(), &end);
        // A value that is not a number leaves the limit as it is; a scrape
        // that leaves less than half a second gets a tenth to try in.
        if (end && end != value.c_str() && *end == '\0' && std::isfinite(v))
            limit = std::clamp(v - 0.5, 0.1, limit);
        break;
    }
    return static_cast<std::uint32_t>(std::lround(limit * 1000));
}

TProbeHandler::TProbeHandler(TMetricsServer& server, std::function<std::unique_ptr<HttpGetter>()> makeClient,
                             int concurrency)
    : makeClient_(std::move(makeClient)), concurrency_(static_cast<std::size_t>(std::max(concurrency, 1))) {
    wnd_ = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == kMsgReap) Reap();
        return platform::LRESULT{0};
    });
    // The connection waits for the check's own limit and a little more for
    // the answer to be written.
    server.Route(
        "/probe",
        [this](const std::string& target, const std::string& header, TMetricsServer::TRouteReply reply) {
            return Take(target, header, std::move(reply));
        },
        kMaxTimeMs + 2000, concurrency_);
}

TProbeHandler::~TProbeHandler() {
    // Whatever still runs is ended without an answer: the server, freed
    // next, closes its connections.
    closing_ = true;
    for (auto& [id, p] : probes_)
        if (!p->Ended && p->Client) p->Client->Abort();
    probes_.clear();
    if (wnd_) platform::DeallocateHWnd(wnd_);
}

std::function<void()> TProbeHandler::Take(const std::string& target, const std::string& header,
                                          TMetricsServer::TRouteReply reply) {
    std::string error;
    const std::string url = ProbeTarget(target, &error);
    if (url.empty()) {
        reply({400, "Bad Request", error + "\n"});
        return nullptr;
    }
    if (running_ >= concurrency_) {
        reply({503, "Service Unavailable", "Too many probes at once\n"});
        return nullptr;
    }
    auto owned = std::make_unique<Probe>();
    Probe& p = *owned;
    p.Id = ++lastId_;
    if (!idle_.empty()) {
        p.Client = std::move(idle_.back());
        idle_.pop_back();
    } else {
        p.Client = makeClient_();
    }
    p.Reply = std::move(reply);
    p.Started = Now();
    probes_[p.Id] = std::move(owned);
    ++running_;
    p.Limit.OnTimer = [this, &p] {
        p.Limit.SetEnabled(false);
        p.Client->Abort();  // ends it as a failure, through its done
    };
    p.Limit.SetInterval(ProbeTimeLimitMs(header));
    p.Limit.SetEnabled(true);
    try {
        p.Client->Start(url, p.Body, [this, &p](bool failed, const std::string&) { Ended(p, failed); });
    } catch (const std::exception&) {
        Ended(p, true);  // a request that cannot start is a failed check
    }
    const std::uint64_t id = p.Id;
    return [this, id] { Cancel(id); };
}

void TProbeHandler::Ended(Probe& p, bool failed) {
    if (p.Ended) return;
    p.Ended = true;
    p.Limit.SetEnabled(false);
    --running_;
    TProbeResult r;
    r.Success = !failed;
    r.Seconds = Now() - p.Started;
    r.StatusCode = p.Client->LastStatusCode();
    r.Redirects = p.Client->LastRedirects();
    r.BodyBytes = p.Body.Size();
    r.CertExpiry = p.Client->LastCertificateExpiry();
    if (const net::TPhaseTimes* t = p.Client->LastPhases(); t && t->Hops > 0) {
        // The blackbox exporter's phase names; a proxy's tunnel answer is
        // part of connecting, as in the pool's own metrics.
        using P = net::TPhaseTimes;
        r.Phases = {{"resolve", t->Seconds[P::Lookup]},
                    {"connect", t->Seconds[P::Connect] + t->Seconds[P::Proxy]},
                    {"tls", t->Seconds[P::Tls]},
                    {"processing", t->Seconds[P::FirstByte]},
                    {"transfer", t->Seconds[P::Transfer]}};
        r.HttpVersion = t->HttpVersion;
        r.IpProtocol = t->IpVersion;
        r.LookupSeconds = t->Seconds[P::Lookup];
        // TLS was used when the last hop is https and a handshake was made.
        r.Ssl = t->Secure && base::LowerCase(t->FinalUrl.substr(0, 8)) == "https://";
    }
    // Its client is free for the next check; the probe itself is freed from
    // a message of ours, as its timer or its client may be what called.
    idle_.push_back(std::move(p.Client));
    if (!reapPosted_ && platform::PostMessage(wnd_, kMsgReap, 0, 0)) reapPosted_ = true;
    if (closing_) return;
    auto reply = std::move(p.Reply);
    p.Reply = nullptr;
    if (reply) reply({200, "OK", ProbeText(r)});
}

void TProbeHandler::Cancel(std::uint64_t id) {
    auto it = probes_.find(id);
    if (it == probes_.end() || it->second->Ended) return;
    it->second->Reply = nullptr;  // the scraper has gone
    it->second->Client->Abort();
}

void TProbeHandler::Reap() {
    reapPosted_ = false;
    std::erase_if(probes_, [](const auto& entry) { return entry.second->Ended; });
}

}  // namespace app
