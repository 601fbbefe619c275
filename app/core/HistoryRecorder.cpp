#include "app/core/HistoryRecorder.h"

#include <cmath>
#include <cstdio>
#include <iterator>

#include "app/core/sform.h"
#include "base/Strings.h"
#include "history/HistoryStore.h"

namespace app {

namespace {

// Retention steps per pass while it runs: each folds at most a bounded
// number of raw rows (a few milliseconds), so a pass is never held up long;
// an hour of rows at 1 s cycles over ten hosts takes a score of passes.
constexpr int kPruneStepsPerPass = 2;

}  // namespace

THistoryRecorder::THistoryRecorder() = default;
THistoryRecorder::~THistoryRecorder() = default;

void THistoryRecorder::Say(const std::string& line) {
    if (OnError) {
        OnError(line);
    } else {
        std::fprintf(stderr, "%s\n", base::ShowControls(line).c_str());
        std::fflush(stderr);
    }
}

void THistoryRecorder::Off(const std::string& why, std::int64_t now) {
    store_.reset();
    // One line when it goes off; a retry that fails again says nothing.
    if (error_.empty()) Say("History is off: " + why);
    error_ = why;
    failedAt_ = now;
    passesOff_ = 0;
}

std::int64_t THistoryRecorder::WalPages() const {
    return store_ ? store_->WalFrames() : 0;
}

void THistoryRecorder::Open() {
    store_ = std::make_unique<history::THistoryStore>(path_, history::THistoryStore::Mode::Write);
    lastPruned_ = store_->LastPruned();
    countedAt_ = -1;
}

void THistoryRecorder::Record(const TPassOutcome& pass, const TServerForm& settings) {
    const std::int64_t now = static_cast<std::int64_t>(std::floor(pass.EndTime));
    bool opening = false;
    if (!tried_) {
        tried_ = true;
        path_ = settings.History;
        if (path_.empty()) return;  // switched off in the settings
        opening = true;
    } else if (!store_ && !path_.empty()) {
        // Off after a failure: tried again at the next full hour or after
        // kRetryPasses passes, whichever comes first.
        ++passesOff_;
        const auto hourOf = [](std::int64_t t) { return t - ((t % 3600) + 3600) % 3600; };
        opening = passesOff_ >= kRetryPasses || hourOf(now) != hourOf(failedAt_);
    }
    if (opening) {
        try {
            Open();
        } catch (const std::exception& e) {
            Off(e.what(), now);
        }
    }
    if (!store_) return;
    std::vector<history::TCheckRow> rows;
    rows.reserve(pass.Hosts.size());
    for (std::size_t i = 0; i < pass.Hosts.size(); ++i) {
        const THostOutcome& h = pass.Hosts[i];
        history::TCheckRow r;
        r.Time = now;
        r.Slot = h.Slot > 0 ? h.Slot : static_cast<int>(i) + 1;  // its pool row, or its place in the pass
        r.Host = h.Host;                                         // already masked by the pass
        r.Up = h.Passed;
        r.Reason = h.Reason;
        r.StatusCode = h.StatusCode;
        r.TotalMs = h.Seconds * 1000;
        r.CertExpiry = h.CertExpiry;
        if (h.Fetched) {
            using P = net::TPhaseTimes;
            const double* t = h.Phases.Seconds;
            r.LookupMs = t[P::Lookup] * 1000;
            r.ConnectMs = (t[P::Connect] + t[P::Proxy]) * 1000;  // a proxy's tunnel is part of connecting
            r.TlsMs = t[P::Tls] * 1000;
            r.FirstByteMs = t[P::FirstByte] * 1000;
        }
        rows.push_back(std::move(r));
    }
    try {
        store_->Record(rows);
        if (!error_.empty()) {
            error_.clear();
            Say("History is back on: " + path_);
        }
        Prune(now);
    } catch (const std::exception& e) {
        Off(e.what(), now);
    }
}

void THistoryRecorder::Prune(std::int64_t now) {
    if (!pruning_ && now - lastPruned_ < history::THistoryStore::kHour && now >= lastPruned_) return;
    pruning_ = true;
    for (int i = 0; i < kPruneStepsPerPass; ++i)
        if (!store_->PruneStep(now)) {
            pruning_ = false;
            lastPruned_ = now;
            store_->SetLastPruned(now);
            return;
        }
}

const std::vector<THostUptime>& THistoryRecorder::Uptime(std::int64_t now) {
    if (!store_) {
        uptime_.clear();
        return uptime_;
    }
    if (countedAt_ >= 0 && now - countedAt_ < 60 && now >= countedAt_) return uptime_;
    std::vector<THostUptime> figures;
    try {
        // One read of 30 days for all three windows.
        const auto counts = store_->Counts({now - 86400, now - 7 * 86400, now - 30 * 86400});
        for (const auto& c : counts) {
            THostUptime u{c.Host, c.Slot, {}};
            for (std::size_t w = 0; w < std::size(kUptimeWindows); ++w) {
                const auto [checks, failures] = c.Since[w];
                u.Ratio[w] = checks > 0 ? double(checks - failures) / double(checks) : -1;
            }
            figures.push_back(std::move(u));
        }
    } catch (const std::exception& e) {
        Off(e.what(), now);
        uptime_.clear();
        return uptime_;
    }
    countedAt_ = now;
    uptime_ = std::move(figures);
    return uptime_;
}

}  // namespace app
