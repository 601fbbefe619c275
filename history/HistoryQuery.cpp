#include "history/HistoryQuery.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace history {

namespace {

// Samples with weights: an hourly row stands for as many answers as it had.
double WeightedPercentile(std::vector<std::pair<double, std::int64_t>>& samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    std::int64_t total = 0;
    for (const auto& s : samples) total += s.second;
    const double rank = p * double(total);
    std::int64_t seen = 0;
    for (const auto& s : samples) {
        seen += s.second;
        if (double(seen) >= rank) return s.first;
    }
    return samples.back().first;
}

class THostReader {
public:
    THostReader(THostHistory& out, const THistoryRequest& request) : out_(out), request_(request) {
        out_.Windows.assign(request.WindowStarts.size(), {0, 0});
        if (request.BucketSeconds > 0) {
            const std::int64_t n =
                (request.To - BucketFrom() + request.BucketSeconds - 1) / request.BucketSeconds;
            out_.Buckets.resize(std::size_t(std::max<std::int64_t>(n, 0)));
            for (std::size_t i = 0; i < out_.Buckets.size(); ++i)
                out_.Buckets[i].Start = BucketFrom() + std::int64_t(i) * request.BucketSeconds;
        }
    }

    void Hour(const THourRow& h) {
        out_.Slot = h.Slot;
        const std::int64_t answers = h.Checks - h.Failures;
        Count(h.Hour, h.Checks, h.Failures, answers, h.MinMs, h.AvgMs, h.MaxMs);
        if (answers > 0 && request_.Percentiles) {
            medians_.push_back({h.AvgMs, answers});
            p95s_.push_back({h.P95Ms, answers});
        }
        // Hours with failures next to each other are one outage.
        if (h.Failures > 0) {
            if (open_ && open_->Hourly && open_->End == h.Hour) {
                open_->End = h.Hour + THistoryStore::kHour;
            } else {
                Close();
                out_.Outages.push_back({h.Hour, h.Hour + THistoryStore::kHour, false, true, ""});
                open_ = &out_.Outages.back();
            }
        } else if (open_) {
            Close();
        }
    }

    void Check(const TCheckRow& r) {
        out_.Slot = r.Slot;
        Count(r.Time, 1, r.Up ? 0 : 1, r.Up ? 1 : 0, r.TotalMs, r.TotalMs, r.TotalMs);
        if (r.Up) {
            if (request_.Percentiles) {
                medians_.push_back({r.TotalMs, 1});
                p95s_.push_back({r.TotalMs, 1});
            }
            if (open_) {
                if (!open_->Hourly) open_->End = r.Time;
                Close();
            }
        } else if (!open_ || open_->Hourly) {
            Close();
            out_.Outages.push_back({r.Time, r.Time, false, false, r.Reason});
            open_ = &out_.Outages.back();
        } else {
            open_->End = r.Time;
        }
    }

    void Finish() {
        if (open_) open_->Ongoing = !open_->Hourly;
        open_ = nullptr;
        out_.MedianMs = WeightedPercentile(medians_, 0.5);
        out_.P95Ms = WeightedPercentile(p95s_, 0.95);
    }

private:
    void Close() { open_ = nullptr; }
    std::int64_t BucketFrom() const { return request_.BucketFrom ? request_.BucketFrom : request_.From; }

    void Count(std::int64_t t, std::int64_t checks, std::int64_t failures, std::int64_t answers, double minMs,
               double avgMs, double maxMs) {
        out_.Checks += checks;
        out_.Failures += failures;
        for (std::size_t i = 0; i < request_.WindowStarts.size(); ++i)
            if (t >= request_.WindowStarts[i]) {
                out_.Windows[i].first += checks;
                out_.Windows[i].second += failures;
            }
        if (answers > 0) {
            out_.MinMs = out_.Timed ? std::min(out_.MinMs, minMs) : minMs;
            out_.MaxMs = out_.Timed ? std::max(out_.MaxMs, maxMs) : maxMs;
            out_.Timed = true;
        }
        if (out_.Buckets.empty()) return;
        if (t < BucketFrom()) return;
        const std::int64_t i = (t - BucketFrom()) / request_.BucketSeconds;
        if (i < 0 || i >= std::int64_t(out_.Buckets.size())) return;
        TBucket& b = out_.Buckets[std::size_t(i)];
        b.Checks += checks;
        b.Failures += failures;
        if (answers > 0) {
            b.MinMs = b.Answers ? std::min(b.MinMs, minMs) : minMs;
            b.MaxMs = b.Answers ? std::max(b.MaxMs, maxMs) : maxMs;
            b.AvgMs = (b.AvgMs * double(b.Answers) + avgMs * double(answers)) / double(b.Answers + answers);
            b.Answers += answers;
        }
    }

    THostHistory& out_;
    const THistoryRequest& request_;
    TOutage* open_ = nullptr;  // the outage still going on, in out_.Outages
    std::vector<std::pair<double, std::int64_t>> medians_, p95s_;
};

}  // namespace

double THostHistory::UptimePercent(std::int64_t checks, std::int64_t failures) {
    return checks > 0 ? 100.0 * double(checks - failures) / double(checks) : -1;
}

double THostHistory::UptimePercent() const {
    return UptimePercent(Checks, Failures);
}

std::int64_t THostHistory::LongestOutage() const {
    std::int64_t longest = 0;
    for (const auto& o : Outages) longest = std::max(longest, o.Seconds());
    return longest;
}

std::vector<THostHistory> ReadHistory(THistoryStore& store, const THistoryRequest& request) {
    // Hosts by name while reading; a std::map keeps the addresses the
    // readers hold.
    std::map<std::string, THostHistory> hosts;
    std::unordered_map<std::string, THostReader> readers;
    auto reader = [&](const std::string& host) -> THostReader& {
        auto it = readers.find(host);
        if (it != readers.end()) return it->second;
        THostHistory& h = hosts[host];
        h.Host = host;
        return readers.emplace(host, THostReader(h, request)).first->second;
    };
    // Hourly rows only exist before the oldest raw row, so reading them
    // first keeps every host's rows in time order.
    for (const THourRow& h : store.Hours(request.From, request.To)) reader(h.Host).Hour(h);
    store.ForEachCheck(
        request.From, request.To, "", [&](const TCheckRow& r) { reader(r.Host).Check(r); }, true);
    for (auto& [name, r] : readers) r.Finish();
    std::vector<THostHistory> out;
    out.reserve(hosts.size());
    for (auto& [name, h] : hosts) out.push_back(std::move(h));
    std::stable_sort(out.begin(), out.end(),
                     [](const THostHistory& a, const THostHistory& b) { return a.Slot < b.Slot; });
    return out;
}

TChartData LoadChart(THistoryStore& store, std::int64_t now, std::int64_t range) {
    TChartData out;
    range = std::clamp<std::int64_t>(range, 3600, 30 * 86400);
    out.BucketSeconds = range <= 86400 ? 300 : range <= 7 * 86400 ? 3600 : 3 * 3600;
    out.To = now + 1;
    // Buckets start on their own boundary, so a reload a minute later
    // shows the same buckets.
    out.From = out.To - range;
    out.From -= ((out.From % out.BucketSeconds) + out.BucketSeconds) % out.BucketSeconds;
    THistoryRequest request;
    request.From = std::min(out.From, now - 30 * 86400);
    request.To = out.To;
    request.BucketSeconds = out.BucketSeconds;
    request.BucketFrom = out.From;
    request.WindowStarts = {now - 86400, now - 7 * 86400, now - 30 * 86400};
    request.Percentiles = false;
    out.Hosts = ReadHistory(store, request);
    for (auto& h : out.Hosts)
        std::erase_if(h.Outages, [&](const TOutage& o) { return o.End < out.From && !o.Ongoing; });
    return out;
}

std::vector<TRecentChecks> RecentChecks(THistoryStore& store, std::size_t perHost, std::size_t scanLimit) {
    std::vector<TRecentChecks> out;
    std::size_t scanned = 0, full = 0;
    store.ForEachLatest([&](const TCheckRow& r) {
        auto it = std::find_if(out.begin(), out.end(),
                               [&r](const TRecentChecks& h) { return h.Slot == r.Slot && h.Host == r.Host; });
        if (it == out.end()) {
            out.push_back({r.Host, r.Slot, {}});
            it = out.end() - 1;
        }
        if (it->Checks.size() < perHost) {
            it->Checks.push_back(r);
            if (it->Checks.size() == perHost) ++full;
        }
        // Every host met has its rows, and a pass's worth more found no new one.
        return ++scanned < scanLimit && !(full == out.size() && scanned >= perHost * out.size() + out.size());
    });
    for (auto& h : out) std::reverse(h.Checks.begin(), h.Checks.end());
    std::sort(out.begin(), out.end(), [](const TRecentChecks& a, const TRecentChecks& b) {
        return a.Slot != b.Slot ? a.Slot < b.Slot : a.Host < b.Host;
    });
    return out;
}

}  // namespace history
