#include "app/serve/StatusModel.h"

#include <algorithm>
#include <cmath>

#include "base/Strings.h"

namespace app {

std::size_t TStatusSnapshot::DownCount() const {
    return static_cast<std::size_t>(
        std::count_if(Hosts.begin(), Hosts.end(), [](const THostStatus& h) { return !h.Up; }));
}

const THostStatus* TStatusSnapshot::BySlot(int slot) const {
    for (const THostStatus& h : Hosts)
        if (h.Slot == slot) return &h;
    return nullptr;
}

namespace {

// When the last run of checks in the host's current state began; the new
// check itself when the state just changed or nothing came before.
std::int64_t RunStart(const std::deque<TStatusCheck>& recent) {
    std::int64_t since = recent.back().Time;
    for (auto it = recent.rbegin(); it != recent.rend() && it->Up == recent.back().Up; ++it) since = it->Time;
    return since;
}

}  // namespace

void TStatusModel::Update(const TPassOutcome& pass, const std::vector<THostUptime>& uptime, bool historyOn) {
    const std::int64_t now = static_cast<std::int64_t>(std::floor(pass.EndTime));
    std::map<std::pair<int, std::string>, std::deque<TStatusCheck>> before;
    if (!seeded_) {
        seeded_ = true;
        for (const history::TRecentChecks& r : seed_) {
            auto& checks = before[{r.Slot, r.Host}];
            for (const history::TCheckRow& row : r.Checks)
                if (row.Time < now) checks.push_back({row.Time, row.Up, row.TotalMs});
        }
        seed_.clear();
    }
    std::map<std::pair<int, std::string>, std::pair<bool, std::int64_t>> state;  // up, since
    for (THostStatus& h : snapshot_.Hosts) {
        before[{h.Slot, h.Host}] = std::move(h.Recent);
        state[{h.Slot, h.Host}] = {h.Up, h.Since};
    }

    TStatusSnapshot next;
    next.Time = now;
    next.History = historyOn;
    for (std::size_t i = 0; i < pass.Hosts.size(); ++i) {
        const THostOutcome& o = pass.Hosts[i];
        THostStatus h;
        h.Slot = o.Slot > 0 ? o.Slot : static_cast<int>(i) + 1;  // its pool row, or its place in the pass
        h.Host = o.Host;
        h.Up = o.Passed;
        h.Reason = o.Passed ? std::string() : o.Reason;
        h.StatusCode = o.StatusCode;
        h.Ms = o.Seconds * 1000;
        h.Https = base::LowerCase(o.Host.substr(0, 8)) == "https://";
        h.CertDays = o.CertExpiry != 0 ? DaysLeft(o.CertExpiry, now) : -1;
        if (auto it = before.find({h.Slot, h.Host}); it != before.end()) h.Recent = std::move(it->second);
        h.Recent.push_back({now, h.Up, h.Ms});
        while (h.Recent.size() > TStatusModel::kRecent) h.Recent.pop_front();
        // The last pass's since while the state holds (it may be older than
        // the checks kept); the run of the checks kept for a host new here.
        const auto was = state.find({h.Slot, h.Host});
        h.Since = was == state.end()          ? RunStart(h.Recent)
                  : was->second.first == h.Up ? was->second.second
                                              : now;
        if (historyOn)
            for (const THostUptime& u : uptime)
                if (u.Slot == h.Slot && u.Host == h.Host)
                    for (std::size_t w = 0; w < std::size(kUptimeWindows); ++w)
                        h.Uptime[w] = u.Ratio[w] < 0 ? -1 : u.Ratio[w] * 100;
        next.Hosts.push_back(std::move(h));
    }
    // The pool is all up since the last host came up, and down since the
    // oldest of the outages still going on.
    const bool allUp = next.DownCount() == 0;
    for (const THostStatus& h : next.Hosts) {
        if (allUp && h.Since > next.PoolSince) next.PoolSince = h.Since;
        if (!allUp && !h.Up && (next.PoolSince == 0 || h.Since < next.PoolSince)) next.PoolSince = h.Since;
    }
    snapshot_ = std::move(next);
}

std::string StatusPoolWords(const TStatusSnapshot& s) {
    if (s.Time == 0) return "Waiting for the first pass";
    const std::size_t n = s.Hosts.size(), down = s.DownCount();
    if (n == 0) return "No hosts to check";
    const std::string hosts = n == 1 ? " host" : " hosts";
    if (down == 0) return n == 1 ? "The host is up" : "All " + std::to_string(n) + hosts + " up";
    return std::to_string(down) + " of " + std::to_string(n) + hosts + " down";
}

}  // namespace app
