// What one pass found, host by host, and how it differs from the pass
// before: the record the window's icons and notification, the headless
// run's state-change lines and the metrics are all made from.
//
// TPassOutcome is filled by the pool check as it goes and handed over whole
// at the end of the pass. TStateTracker keeps only what the previous pass
// left behind (which hosts failed, which certificates were about to
// expire) and turns the next outcome into a TStateChange: changed or not,
// and the words for it. Plain values; no Qt, no I/O.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "net/PhaseTimes.h"

namespace app {

struct THostOutcome {
    std::string Host;
    bool Passed = true;
    std::string Reason;           // why it failed, as its client said
    double Seconds = 0;           // how long its request took
    int StatusCode = 0;           // of the last reply header; 0 when none came
    std::int64_t CertExpiry = 0;  // seconds since the epoch; 0 when no hop was https
    int CertDaysLeft = -1;        // days to the expiry when inside the warning window, else -1
    bool Fetched = false;         // a request was made: Phases holds where its time went
    net::TPhaseTimes Phases;
    int Slot = 0;  // the host's pool row (1 to 10), or its place among --check's hosts
    // The confirmed state (see AlertState.h): down after enough failed
    // checks in a row, since the first of them; Passed is this check alone.
    bool Down = false;
    std::int64_t DownSince = 0;
};

struct TPassOutcome {
    std::vector<THostOutcome> Hosts;
    bool Passed = true;
    double EndTime = 0;  // seconds since the epoch
    bool Quiet = false;  // it ended inside the quiet hours: changes were held

    std::size_t FailedCount() const;
    std::size_t WarnedCount() const;
    // Hosts confirmed down.
    std::size_t DownCount() const;
};

// "Certificate of HOST expires in N days": the log's warning line.
std::string CertificateWarning(const std::string& host, int days);
// Whole days from now to expiry, rounded up (a certificate that ends in
// four days and a minute "expires in 5 days"); never below 0.
int DaysLeft(std::int64_t expiry, std::int64_t now);
// The pool in words for the tray icon's tip: "Sentrel: all 5 hosts up",
// "Sentrel: 2 of 5 hosts down"; before the first pass (null) what it is.
std::string PoolSummary(const TPassOutcome* pass);

struct TStateChange {
    bool Changed = false;
    std::string Title;               // "2 hosts down", "All hosts up again"
    std::vector<std::string> Items;  // "host: reason" for each failed host, then the warnings
    std::string Event;               // "down" (a host fails), "up" (all up again), "certificate"
    // Title and items on one line, for a terminal.
    std::string Line() const;
    // The items one per line, for a notification's text.
    std::string Text() const;
};

class TStateTracker {
public:
    // The change from the previous pass to this one. The first pass of a run
    // is compared with a pool that was all up without warnings, so a first
    // pass that passes cleanly is no change. A host failing or recovering is
    // a change; so is a certificate entering the warning window, but not
    // one leaving it (renewed) nor one counting its days down.
    TStateChange Next(const TPassOutcome& pass);

private:
    std::set<std::string> failed_;
    std::set<std::string> warned_;
};

}  // namespace app
