// The status page's paths on the metrics listener: GET / (the page),
// /status.js (its script), /api/v1/status (JSON) and /badge/SLOT/... (SVG),
// every one answered at once from the figures of the last pass (the page
// and the JSON rendered once a pass, however many read them), with a
// content security policy that lets the page load only what the listener
// serves. Read-only: nothing here changes a setting. Any other path under
// these names is 404, as everywhere on the listener.
//
// Owned by the metrics publisher beside the server it routes on (and freed
// before it); the loop's thread only.
#pragma once

#include <string>

#include "app/serve/MetricsServer.h"
#include "app/serve/StatusModel.h"

namespace app {

class THistoryRecorder;

// The header lines every answer of the page's paths carries.
extern const char* const kStatusHeaders;

// The answer to a GET of target ("/", "/api/v1/status", "/badge/1/status.svg?x"),
// 404 for a target that is not one of them.
TMetricsServer::TReply StatusAnswer(const TStatusSnapshot& s, const std::string& target);

class TStatusRoutes {
public:
    explicit TStatusRoutes(TMetricsServer& server);
    TStatusRoutes(const TStatusRoutes&) = delete;
    TStatusRoutes& operator=(const TStatusRoutes&) = delete;

    // A finished pass, already written to history (may be null: no history).
    void Update(const TPassOutcome& pass, THistoryRecorder* history);
    const TStatusSnapshot& Snapshot() const { return model_.Snapshot(); }

    // What the listener answers for target: the page and the JSON are
    // rendered once per pass, at the first request that wants them.
    TMetricsServer::TReply Answer(const std::string& target);

private:
    TStatusModel model_;
    TMetricsServer::TReply page_, json_;
    bool pageFresh_ = false, jsonFresh_ = false;
};

}  // namespace app
