#include "app/serve/StatusRoutes.h"

#include <cmath>

#include "app/core/HistoryRecorder.h"
#include "app/serve/Badge.h"
#include "app/serve/StatusApi.h"
#include "app/serve/StatusPage.h"

namespace app {

const char* const kStatusHeaders =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; connect-src 'self'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

TMetricsServer::TReply StatusAnswer(const TStatusSnapshot& s, const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    TMetricsServer::TReply r;
    r.Headers = kStatusHeaders;
    if (path == "/") {
        r.ContentType = "text/html; charset=utf-8";
        r.Headers += "Cache-Control: no-store\r\n";
        r.Body = StatusPageHtml(s);
    } else if (path == "/api/v1/status") {
        r.ContentType = "application/json";
        r.Headers += "Cache-Control: no-store\r\n";
        r.Body = StatusJson(s);
    } else if (path == "/status.js") {
        r.ContentType = "text/javascript; charset=utf-8";
        r.Headers += "Cache-Control: no-cache\r\n";
        r.Body = StatusScript();
    } else {
        const TBadgeAnswer badge = BadgeFor(s, target);
        r.Body = badge.Body;
        if (badge.Status == 200) {
            r.ContentType = "image/svg+xml";
            r.Headers += "Cache-Control: no-cache\r\n";
        } else if (badge.Status == 400) {
            r.Status = 400;
            r.Reason = "Bad Request";
        } else {
            r.Status = 404;
            r.Reason = "Not Found";
            r.Body = "Not Found\n";
        }
    }
    return r;
}

TStatusRoutes::TStatusRoutes(TMetricsServer& server) {
    for (const char* path : {"/", "/status.js", "/api/v1/status", "/badge/*"})
        server.Route(
            path,
            [this](const std::string& target, const std::string&, TMetricsServer::TRouteReply reply) {
                reply(Answer(target));
                return std::function<void()>();
            },
            TMetricsServer::kTimeoutMs, 0);
}

TMetricsServer::TReply TStatusRoutes::Answer(const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    const auto cached = [&](TMetricsServer::TReply& reply, bool& fresh) {
        if (!fresh) reply = StatusAnswer(model_.Snapshot(), path);
        fresh = true;
        return reply;
    };
    if (path == "/") return cached(page_, pageFresh_);
    if (path == "/api/v1/status") return cached(json_, jsonFresh_);
    return StatusAnswer(model_.Snapshot(), target);
}

void TStatusRoutes::Update(const TPassOutcome& pass, THistoryRecorder* history) {
    const bool on = history && history->On();
    // The history's last checks once, at the first pass, so the strip starts
    // full after a restart.
    if (!model_.Seeded() && on && history->Store()) {
        try {
            model_.Seed(history::RecentChecks(*history->Store(), TStatusModel::kRecent));
        } catch (const std::exception&) {
            // Without them the strip starts with this pass, as with the history off.
        }
    }
    static const std::vector<THostUptime> none;
    const auto& uptime = on ? history->Uptime(static_cast<std::int64_t>(std::floor(pass.EndTime))) : none;
    model_.Update(pass, uptime, on && history->On());
    pageFresh_ = jsonFresh_ = false;
}

}  // namespace app
