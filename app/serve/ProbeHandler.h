// GET /probe?target=URL on the metrics listener: one check of URL, answered
// with the blackbox exporter's metric names, so that Prometheus can drive
// Sentrel as it drives that exporter (a scrape per target, the target
// passed through relabelling) and its dashboards and alert rules work as
// they are. "&module=..." is accepted and ignored.
//
// A check is a request of the monitor's own client (the same proxy, TLS
// and limits as a pool host; one client per check at once, kept for the
// next), started on the loop and answered when it ends, so checks never
// wait for each other, for the pool's passes or for /metrics. At most
// Concurrency checks run at once; one more is answered 503 at once. A check
// may take the smaller of 10 s and the scraper's
// X-Prometheus-Scrape-Timeout-Seconds less 0.5 s; past that it fails. A
// target that is not an http(s) URL is answered 400 with the reason.
//
// Whoever reaches the listener can make the program fetch URLs: it should
// listen on loopback or a private network only.
//
// Owned by the metrics publisher beside the server it routes on (and freed
// before it); the loop's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/core/HttpGetter.h"
#include "app/serve/MetricsServer.h"
#include "base/Stream.h"
#include "platform/MessageLoop.h"
#include "platform/Timer.h"

namespace app {

// What one check found, and the text it is answered with.
struct TProbeResult {
    bool Success = false;
    double Seconds = 0;
    int StatusCode = 0;  // of the last reply header; 0 when none came
    int Redirects = 0;
    std::int64_t BodyBytes = 0;   // the body as received
    std::int64_t CertExpiry = 0;  // seconds since the epoch; 0 when no hop was https
    // Where the time went (probe_http_duration_seconds{phase=...}), phase
    // name and seconds; empty when no request was made.
    std::vector<std::pair<std::string, double>> Phases;
    // The blackbox exporter's other series that Sentrel can know: whether
    // the last hop was https, the last reply's HTTP version ("" when none
    // came: 0), the address family connected to (4, 6; 0 unknown), and the
    // time spent looking names up.
    bool Ssl = false;
    std::string HttpVersion;
    int IpProtocol = 0;
    double LookupSeconds = 0;
};
std::string ProbeText(const TProbeResult& result);

// The URL a probe's request target names, percent-decoded, or "" with the
// reason in *error (no target, not an http or https URL).
std::string ProbeTarget(const std::string& requestTarget, std::string* error);
// The time limit of a check in milliseconds for a request header: 10 s, or
// less when X-Prometheus-Scrape-Timeout-Seconds asks for less.
std::uint32_t ProbeTimeLimitMs(const std::string& header);

class TProbeHandler {
public:
    static constexpr int kDefaultConcurrency = 100;
    static constexpr std::uint32_t kMaxTimeMs = 10000;

    // Takes /probe on server; makeClient gives a client like the pool's.
    TProbeHandler(TMetricsServer& server, std::function<std::unique_ptr<HttpGetter>()> makeClient,
                  int concurrency = kDefaultConcurrency);
    ~TProbeHandler();
    TProbeHandler(const TProbeHandler&) = delete;
    TProbeHandler& operator=(const TProbeHandler&) = delete;

    std::size_t Running() const { return running_; }

private:
    struct Probe {
        std::uint64_t Id = 0;
        std::unique_ptr<HttpGetter> Client;
        base::TCountingStream Body;
        platform::TTimer Limit;
        TMetricsServer::TRouteReply Reply;
        double Started = 0;
        bool Ended = false;
    };

    std::function<void()> Take(const std::string& target, const std::string& header,
                               TMetricsServer::TRouteReply reply);
    void Ended(Probe& p, bool failed);
    void Cancel(std::uint64_t id);
    void Reap();

    std::function<std::unique_ptr<HttpGetter>()> makeClient_;
    std::size_t concurrency_;
    std::vector<std::unique_ptr<HttpGetter>> idle_;
    std::map<std::uint64_t, std::unique_ptr<Probe>> probes_;  // running, and ended ones not yet freed
    std::size_t running_ = 0;
    std::uint64_t lastId_ = 0;
    platform::HWND wnd_ = 0;
    bool reapPosted_ = false;
    bool closing_ = false;
};

}  // namespace app
