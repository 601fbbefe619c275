// The monitor's results for a monitoring stack: the last pass in the
// Prometheus text exposition format, served at GET /metrics (TMetricsServer)
// and/or written to a file after every pass for node_exporter's textfile
// collector. TMetricsPublisher is what the programs hold: it starts what the
// command line asked for and takes each finished pass; the listener serves
// the status page, its JSON and badges beside /metrics. Nothing listens and
// nothing is written unless asked. GUI thread (the one loop) only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/HistoryRecorder.h"
#include "app/core/PassOutcome.h"

namespace app {

class TMetricsServer;
class TProbeHandler;
class TStatusRoutes;
class HttpGetter;

// The exposition text for the last pass (before the first: the families
// with their help and type, and no samples). Every entry of the pool has
// its own series, labelled with its host text and its slot (its place in
// the pass, from 1), so entries that read the same stay apart.
std::string MetricsText(const TPassOutcome* pass);
// A label value as the format wants it: backslash, double quote and line
// feed escaped, and every byte that is not part of well-formed UTF-8
// written as the text \xHH.
std::string EscapeLabelValue(const std::string& value);

// sentrel_host_uptime_ratio for every host and window with checks; "" for
// none (the history off).
std::string UptimeMetricsText(const std::vector<THostUptime>& uptime);
// sentrel_history_ok: 1 while the history is written, 0 while it is off
// after a failure; "" where no history file is in use.
std::string HistoryOkMetricsText(const THistoryRecorder& history);

struct TMetricsOptions {
    std::string Listen;  // "ADDR:PORT", empty for none
    std::string File;    // path, empty for none
    // GET /probe on the listener: the checks at most at once, and where
    // their clients come from (no /probe without it).
    int ProbeConcurrency = 100;
    std::function<std::unique_ptr<HttpGetter>()> ProbeClients;
};

class TMetricsPublisher {
public:
    explicit TMetricsPublisher(TMetricsOptions options);
    ~TMetricsPublisher();
    TMetricsPublisher(const TMetricsPublisher&) = delete;
    TMetricsPublisher& operator=(const TMetricsPublisher&) = delete;

    // Listens and writes the file's first version (families, no samples);
    // raises base::Exception when either cannot be done, so a wrong address
    // or folder shows at start-up rather than at the first pass.
    void Start();
    // The pass's text to the server, and to the file (written whole and
    // renamed into place). Raises "Unable to write to PATH: REASON" when
    // the file cannot be written (a device, a pipe or another user's link
    // at PATH is refused); the server has the new text by then.
    void Publish(const TPassOutcome& pass);
    TMetricsServer* Server() const { return server_.get(); }
    // Families from elsewhere (the history's uptime ratios), appended to
    // every text the publisher serves or writes.
    std::function<std::string()> Extra;
    // The history the status page reads its uptime and last checks from;
    // null: none, and the page says uptime needs it.
    THistoryRecorder* History = nullptr;

private:
    TMetricsOptions options_;
    std::unique_ptr<TMetricsServer> server_;
    std::unique_ptr<TProbeHandler> probes_;  // freed before the server it routes on
    std::unique_ptr<TStatusRoutes> status_;  // likewise
};

}  // namespace app
