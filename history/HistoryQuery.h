// What the report and the history window ask of the store: per host over a
// range, the checks and failures, the outages, the response times, and
// optionally the range cut into buckets for a chart and the counts since a
// few window starts (24 h, 7 d, 30 d) for the uptime columns.
//
// One read of the range does it all: hourly rows for the part of the range
// where raw rows have aged out, raw rows for the rest, streamed. Where only
// hourly rows are left, an outage is a run of hours with failures (its
// reason unknown) and the median and 95th percentile are read from the
// hours' averages and 95th percentiles, weighted by their answers. Plain
// values; no Qt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

namespace history {

struct TOutage {
    std::int64_t Start = 0;  // the first failed check
    std::int64_t End = 0;    // the first check that passed again (ongoing: the last failed check)
    bool Ongoing = false;    // still down at the end of the range
    bool Hourly = false;     // read from hourly rows: whole hours, no reason
    std::string Reason;      // of the first failed check
    std::int64_t Seconds() const { return End - Start; }
};

struct TBucket {
    std::int64_t Start = 0;
    std::int64_t Checks = 0, Failures = 0;
    std::int64_t Answers = 0;  // checks that passed, whose times these are
    double MinMs = 0, AvgMs = 0, MaxMs = 0;
};

struct THostHistory {
    std::string Host;
    int Slot = 0;
    std::int64_t Checks = 0, Failures = 0;
    std::vector<TOutage> Outages;  // oldest first
    bool Timed = false;            // some check passed, so the times below mean something
    double MinMs = 0, MedianMs = 0, P95Ms = 0, MaxMs = 0;
    std::vector<TBucket> Buckets;  // when asked: the range cut in equal parts
    // (checks, failures) since each window start asked for.
    std::vector<std::pair<std::int64_t, std::int64_t>> Windows;

    // Percent of checks that passed; -1 without checks.
    double UptimePercent() const;
    std::int64_t LongestOutage() const;
    static double UptimePercent(std::int64_t checks, std::int64_t failures);
};

struct THistoryRequest {
    std::int64_t From = 0, To = 0;
    std::int64_t BucketSeconds = 0;          // 0: no buckets
    std::vector<std::int64_t> WindowStarts;  // each within [From, To)
    std::int64_t BucketFrom = 0;             // where the buckets start; 0: From
    bool Percentiles = true;                 // false: MedianMs and P95Ms stay 0 (cheaper)
};

// Hosts ordered by slot, then name.
std::vector<THostHistory> ReadHistory(THistoryStore& store, const THistoryRequest& request);

// What the history window shows for a range ending now: every host of the
// last 30 days with its counts for 24 h, 7 d and 30 d (Windows, in that
// order), the range cut into at most a few hundred buckets (5 minutes up to
// a day, hours up to a week, 3 hours beyond), and the outages that touch the
// range. One bounded read: 30 days of hourly rows and at most a week of raw
// rows.
struct TChartData {
    std::int64_t From = 0, To = 0, BucketSeconds = 0;
    std::vector<THostHistory> Hosts;
};
TChartData LoadChart(THistoryStore& store, std::int64_t now, std::int64_t range);

// The last checks of every host, for a heartbeat strip: per (slot, host),
// at most perHost of its newest raw rows, oldest first, ordered by slot then
// host. Reads newest first and stops once every host met has perHost rows,
// or after scanLimit rows, so a host that stopped being checked long ago
// costs no long read (it shows what the scan met, possibly nothing).
struct TRecentChecks {
    std::string Host;
    int Slot = 0;
    std::vector<TCheckRow> Checks;  // oldest first; Time, Up, Reason, StatusCode, TotalMs
};
std::vector<TRecentChecks> RecentChecks(THistoryStore& store, std::size_t perHost = 50,
                                        std::size_t scanLimit = 20000);

}  // namespace history
