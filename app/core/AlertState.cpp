#include "app/core/AlertState.h"

#include <cctype>
#include <set>

#include "base/Strings.h"

namespace app {

namespace {
// Beyond any threshold: streaks stop counting here.
constexpr int kCountCap = 1000000;
}  // namespace

bool TAlertTracker::Check(int slot, const std::string& host, bool passed, const std::string& reason,
                          std::int64_t time, int failures, int recoveries) {
    TAlertHost& h = hosts_[{slot, host}];
    if (passed) {
        h.Fails = 0;
        if (h.Goods < kCountCap) ++h.Goods;  // a host up for years never wraps
        if (h.Down && h.Goods >= recoveries) {
            h.Down = false;
            h.Since = 0;
            return true;
        }
        return false;
    }
    h.Goods = 0;  // the good checks that bring a host back count only in a row
    if (h.Fails == 0) h.FirstFail = time;
    if (h.Fails < kCountCap) ++h.Fails;
    h.Reason = reason;
    if (!h.Down && h.Fails >= failures) {
        h.Down = true;
        h.Since = h.FirstFail;
        return true;
    }
    return false;
}

const TAlertHost* TAlertTracker::Find(int slot, const std::string& host) const {
    auto it = hosts_.find({slot, host});
    return it == hosts_.end() ? nullptr : &it->second;
}

bool TAlertTracker::Pending(int slot, const std::string& host) const {
    const TAlertHost* h = Find(slot, host);
    return h && !h->Down && h->Fails > 0;
}

void MarkConfirmed(TPassOutcome& pass, const TAlertTracker& tracker) {
    for (auto& h : pass.Hosts) {
        const TAlertHost* a = tracker.Find(h.Slot, h.Host);
        h.Down = a && a->Down;
        h.DownSince = h.Down ? a->Since : 0;
    }
}

TPassOutcome ConfirmedView(const TPassOutcome& pass, const TAlertTracker& tracker) {
    TPassOutcome view = pass;
    MarkConfirmed(view, tracker);
    view.Passed = true;
    for (auto& h : view.Hosts) {
        const TAlertHost* a = tracker.Find(h.Slot, h.Host);
        h.Passed = !h.Down;
        h.Reason = h.Down ? a->Reason : "";
        if (h.Down) view.Passed = false;
    }
    return view;
}

std::string DurationText(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t minutes = seconds / 60, hours = minutes / 60, days = hours / 24;
    if (days > 0) return std::to_string(days) + " d " + std::to_string(hours % 24) + " h";
    if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes % 60) + " min";
    return std::to_string(minutes < 1 ? 1 : minutes) + " min";
}

TStateChange ReminderChange(const TPassOutcome& confirmed, std::int64_t now) {
    TStateChange change;
    std::set<std::string> seen;
    for (const auto& h : confirmed.Hosts)
        if (h.Down && seen.insert(h.Host).second)
            change.Items.push_back(h.Host + ": " + h.Reason + " (down for " +
                                   DurationText(now - h.DownSince) + ")");
    if (seen.empty()) return change;
    change.Changed = true;
    change.Event = "reminder";
    change.Title = std::to_string(seen.size()) + (seen.size() == 1 ? " host" : " hosts") + " still down";
    return change;
}

bool TQuietHours::At(const std::tm& t) const {
    const int minute = t.tm_hour * 60 + t.tm_min;
    const unsigned today = 1u << t.tm_wday, yesterday = 1u << ((t.tm_wday + 6) % 7);
    for (const auto& s : Spans) {
        if (s.Year) {
            if (t.tm_year + 1900 == s.Year && t.tm_mon + 1 == s.Month && t.tm_mday == s.Day) return true;
        } else if (s.From < s.To) {
            if ((s.Days & today) && minute >= s.From && minute < s.To) return true;
        } else {
            // Across midnight: the evening of a listed day, the morning after it.
            if (((s.Days & today) && minute >= s.From) || ((s.Days & yesterday) && minute < s.To))
                return true;
        }
    }
    return false;
}

bool TQuietHours::At(std::int64_t time) const {
    if (Spans.empty()) return false;
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    if (!localtime_r(&t, &local)) return false;
    return At(local);
}

namespace {

const char* const kDays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

int DayIndex(const std::string& name) {
    const std::string lower = base::LowerCase(name);
    for (int d = 0; d < 7; ++d)
        if (lower == kDays[d]) return d;
    return -1;
}

bool Digits(const std::string& s, std::size_t from, std::size_t n) {
    if (from + n > s.size()) return false;
    for (std::size_t i = from; i < from + n; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// "HH:MM" in minutes, -1 when it is not a time; 24:00 only as an end.
int Minutes(const std::string& s, bool end) {
    if (s.size() != 5 || s[2] != ':' || !Digits(s, 0, 2) || !Digits(s, 3, 2)) return -1;
    const int h = std::stoi(s.substr(0, 2)), m = std::stoi(s.substr(3, 2));
    if (m > 59 || h > 24 || (h == 24 && (m != 0 || !end))) return -1;
    return h * 60 + m;
}

std::string Entry(const std::string& entry, TQuietSpan& span) {
    // A single date: the whole day.
    if (entry.size() == 10 && Digits(entry, 0, 4) && entry[4] == '-' && Digits(entry, 5, 2) &&
        entry[7] == '-' && Digits(entry, 8, 2)) {
        span.Year = std::stoi(entry.substr(0, 4));
        span.Month = std::stoi(entry.substr(5, 2));
        span.Day = std::stoi(entry.substr(8, 2));
        static const int kLength[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (span.Year % 4 == 0 && span.Year % 100 != 0) || span.Year % 400 == 0;
        if (span.Year < 1970 || span.Month < 1 || span.Month > 12 || span.Day < 1 ||
            span.Day > kLength[span.Month - 1] || (span.Month == 2 && span.Day == 29 && !leap))
            return "no such date";
        return "";
    }
    const std::size_t blank = entry.find_first_of(" \t");
    if (blank == std::string::npos) return "expected DAYS HH:MM-HH:MM or YYYY-MM-DD";
    const std::string days = entry.substr(0, blank), hours = base::Trim(entry.substr(blank));
    if (days == "*") {
        span.Days = 0x7F;
    } else {
        const std::size_t dash = days.find('-');
        const std::string first = days.substr(0, dash);
        const std::string last = dash == std::string::npos ? first : days.substr(dash + 1);
        const int a = DayIndex(first), b = DayIndex(last);
        if (a < 0) return "unknown day \"" + first + "\"";
        if (b < 0) return "unknown day \"" + last + "\"";
        for (int d = a;; d = (d + 1) % 7) {  // Fri-Mon wraps past Sunday
            span.Days |= 1u << d;
            if (d == b) break;
        }
    }
    const std::size_t dash = hours.find('-');
    if (dash == std::string::npos) return "expected HH:MM-HH:MM after the days";
    span.From = Minutes(base::Trim(hours.substr(0, dash)), false);
    span.To = Minutes(base::Trim(hours.substr(dash + 1)), true);
    if (span.From < 0 || span.To < 0) return "expected HH:MM-HH:MM after the days";
    if (span.From == span.To) return "the span is empty";
    return "";
}

}  // namespace

std::string ParseQuietHours(const std::string& text, TQuietHours& out) {
    out.Spans.clear();
    std::size_t start = 0;
    for (int n = 1;; ++n) {
        const std::size_t comma = text.find(',', start);
        const std::string entry =
            base::Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!entry.empty() || comma != std::string::npos || n > 1 || !base::Trim(text).empty()) {
            TQuietSpan span;
            std::string why = entry.empty() ? "empty entry" : Entry(entry, span);
            if (!why.empty()) {
                out.Spans.clear();
                return "entry " + std::to_string(n) + " \"" + base::ShowControls(entry) + "\": " + why;
            }
            out.Spans.push_back(span);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return "";
}

}  // namespace app
