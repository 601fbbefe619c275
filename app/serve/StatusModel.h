// What the status page, its JSON and the badges show: every host of the
// last pass in list order with its state, since when, why it is down, its
// last response time, its uptime from the history, its certificate and its
// last checks (at most kRecent), and the pool's state above them.
//
// The model is fed each finished pass. The strip of last checks lives in
// memory: at the first pass it is filled from the history's newest rows
// (when the history is on), and from then on each pass adds its checks, so
// with the history off the page still shows every state since the start.
// A host's "since" is when its current state began among the checks the
// model has seen. Plain values; no Qt, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/core/HistoryRecorder.h"
#include "app/core/PassOutcome.h"
#include "history/HistoryQuery.h"

namespace app {

struct TStatusCheck {
    std::int64_t Time = 0;  // seconds since the epoch, when its pass ended
    bool Up = true;
    double Ms = 0;  // how long the request took
};

struct THostStatus {
    int Slot = 0;
    std::string Host;  // as the pass shows it: the password masked
    bool Up = true;
    std::int64_t Since = 0;  // when the current state began
    std::string Reason;      // why it is down; empty when up
    int StatusCode = 0;      // of the last reply header; 0 when none came
    double Ms = 0;           // the last request's time
    bool Https = false;
    int CertDays = -1;  // whole days the certificate has left; -1 unknown or not https
    // Percent of passed checks over 24 h, 7 d and 30 d; negative: no figure.
    double Uptime[std::size(kUptimeWindows)] = {-1, -1, -1};
    std::deque<TStatusCheck> Recent;  // oldest first
};

struct TStatusSnapshot {
    std::int64_t Time = 0;  // when the last pass ended; 0 before the first
    bool History = false;   // the uptime figures come from a history that is on
    std::int64_t PoolSince = 0;
    std::vector<THostStatus> Hosts;  // in list order

    std::size_t DownCount() const;
    // A host by its slot; null when no host of the last pass has it.
    const THostStatus* BySlot(int slot) const;
};

class TStatusModel {
public:
    static constexpr std::size_t kRecent = 50;

    // The history's last checks, taken once at the first pass (rows at or
    // after that pass's time are its own, and are left out).
    void Seed(std::vector<history::TRecentChecks> recent) { seed_ = std::move(recent); }
    bool Seeded() const { return seeded_; }
    // A finished pass, with the history's uptime figures (historyOn false:
    // the history is off and there are none).
    void Update(const TPassOutcome& pass, const std::vector<THostUptime>& uptime, bool historyOn);
    const TStatusSnapshot& Snapshot() const { return snapshot_; }

private:
    TStatusSnapshot snapshot_;
    std::vector<history::TRecentChecks> seed_;
    bool seeded_ = false;
};

// The pool in words at the top of the page: "All 5 hosts up", "2 of 5
// hosts down", "Waiting for the first pass".
std::string StatusPoolWords(const TStatusSnapshot& s);

}  // namespace app
