// When a host counts as down for the people who are told of it: after
// failures checks in a row, and up again after recoveries good ones. One
// failed pass lights the LED and writes its lines; only a confirmed change
// reaches the notification, the tray icon, the on-change program and the
// webhooks.
//
// TAlertTracker keeps each host's streaks (its pool row and shown name are
// its key), so a retry between passes and a replay of the history at start
// feed it the same way a pass does. TQuietHours holds the times nothing is
// sent ("Mon-Fri 22:00-06:00, Sun 02:00-04:00", "* 12:00-13:00",
// "2026-12-24"), read in local time. Plain values; no Qt, no I/O.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/core/PassOutcome.h"

namespace app {

struct TAlertHost {
    bool Down = false;
    int Fails = 0;               // failed checks in a row
    int Goods = 0;               // good checks in a row
    std::int64_t FirstFail = 0;  // the first failed check of the current run of failures
    std::int64_t Since = 0;      // while down: the first failed check of the run that took it down
    std::string Reason;          // of the last failed check
};

class TAlertTracker {
public:
    // One check of a host; true when its confirmed state turned (up to down
    // or down to up).
    bool Check(int slot, const std::string& host, bool passed, const std::string& reason, std::int64_t time,
               int failures, int recoveries);
    // The host's record; null for a host never checked.
    const TAlertHost* Find(int slot, const std::string& host) const;
    // Failed at least once but not yet confirmed down: a retry is due.
    bool Pending(int slot, const std::string& host) const;

private:
    std::map<std::pair<int, std::string>, TAlertHost> hosts_;
};

// Sets each host's Down and DownSince from the tracker.
void MarkConfirmed(TPassOutcome& pass, const TAlertTracker& tracker);
// The pass as the people told of it see it: a host has passed unless it is
// confirmed down, and a down host's reason is its last failure's.
TPassOutcome ConfirmedView(const TPassOutcome& pass, const TAlertTracker& tracker);

// "25 min", "3 h 5 min", "2 d 4 h": how long something has lasted.
std::string DurationText(std::int64_t seconds);
// The repeat of the down notification while hosts stay down: "2 hosts still
// down", one item per host with how long it has been down. Event "reminder".
TStateChange ReminderChange(const TPassOutcome& confirmed, std::int64_t now);

struct TQuietSpan {
    unsigned Days = 0;                 // bit n: weekday n (0 Sunday) on which the span starts
    int From = 0, To = 0;              // minutes of the day; To below From crosses midnight
    int Year = 0, Month = 0, Day = 0;  // a whole date instead, when Year is set
};

struct TQuietHours {
    std::vector<TQuietSpan> Spans;
    bool Empty() const { return Spans.empty(); }
    // Whether the local time falls inside one of the spans.
    bool At(const std::tm& local) const;
    bool At(std::int64_t time) const;
};

// Reads a comma-separated list of "DAYS HH:MM-HH:MM" (DAYS: "*", "Mon" or
// "Mon-Fri", a range that may wrap past Sunday) and "YYYY-MM-DD" dates.
// Returns "" and fills out, or says what is wrong and where.
std::string ParseQuietHours(const std::string& text, TQuietHours& out);

}  // namespace app
