#include "history/HistoryReport.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "base/Strings.h"

namespace history {

namespace {

std::string LocalTime(std::int64_t t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string Uptime(const THostHistory& h) {
    const double u = h.UptimePercent();
    if (u < 0) return "-";
    // 99.999% is not 100%: a host that failed once never reads as never failing.
    if (h.Failures > 0 && u > 99.99) return "99.99%";
    return Fixed(u, 2) + "%";
}

std::string Pad(const std::string& s, std::size_t width, bool right) {
    if (s.size() >= width) return s;
    return right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
}

}  // namespace

std::optional<std::int64_t> ParseSince(const std::string& text, std::int64_t now, std::string* why) {
    const auto refuse = [&](const std::string& reason) -> std::optional<std::int64_t> {
        if (why) *why = "'" + text + "' " + reason;
        return std::nullopt;
    };
    if (why) why->clear();
    const auto digits = [&text](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9') return -1;
            v = v * 10 + (text[i] - '0');
        }
        return v;
    };
    if (text.size() >= 2 && text.size() <= 7 && (text.back() == 'h' || text.back() == 'd')) {
        const int n = digits(0, text.size() - 1);
        if (n <= 0) return std::nullopt;
        const std::int64_t from = now - std::int64_t(n) * (text.back() == 'h' ? 3600 : 86400);
        if (from < 0) return refuse("reaches back before 1970");
        return from;
    }
    // YYYY-MM-DD or YYYY-MM-DDTHH:MM, every field its digits and nothing else.
    if (text.size() != 10 && text.size() != 16) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || (text.size() == 16 && (text[10] != 'T' || text[13] != ':')))
        return std::nullopt;
    const int y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2);
    const int h = text.size() == 16 ? digits(11, 2) : 0, mi = text.size() == 16 ? digits(14, 2) : 0;
    if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0) return std::nullopt;
    if (y < 1970) return refuse("is before 1970");
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0))
        return refuse("is not a day of the calendar");
    if (h > 23 || mi > 59) return refuse("is not a time of day");
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == std::time_t(-1)) return refuse("is not a time this system can read");
    if (std::int64_t(t) > now) return refuse("is after now");
    return static_cast<std::int64_t>(t);
}

std::string DurationText(std::int64_t s) {
    if (s < 60) return std::to_string(s) + "s";
    if (s < 3600) return std::to_string(s / 60) + "m " + std::to_string(s % 60) + "s";
    if (s < 86400) return std::to_string(s / 3600) + "h " + std::to_string(s % 3600 / 60) + "m";
    return std::to_string(s / 86400) + "d " + std::to_string(s % 86400 / 3600) + "h";
}

std::string ReportText(const std::vector<THostHistory>& hosts, std::int64_t from, std::int64_t to) {
    std::string out = "History from " + LocalTime(from) + " to " + LocalTime(to) + "\n";
    if (hosts.empty()) return out + "No checks in this range.\n";
    std::vector<std::vector<std::string>> rows{{"SLOT", "HOST", "CHECKS", "UPTIME", "OUTAGES", "LONGEST",
                                                "MIN ms", "MEDIAN ms", "P95 ms", "MAX ms"}};
    for (const auto& h : hosts) {
        auto ms = [&h](double v) { return h.Timed ? Fixed(v, 1) : std::string("-"); };
        rows.push_back({std::to_string(h.Slot), base::ShowControls(h.Host), std::to_string(h.Checks),
                        Uptime(h), std::to_string(h.Outages.size()),
                        h.Outages.empty() ? "-" : DurationText(h.LongestOutage()), ms(h.MinMs),
                        ms(h.MedianMs), ms(h.P95Ms), ms(h.MaxMs)});
    }
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto& r : rows)
        for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
    // The host column is left-aligned, every number right-aligned.
    for (const auto& r : rows) {
        std::string line;
        for (std::size_t c = 0; c < r.size(); ++c) line += (c ? "  " : "") + Pad(r[c], width[c], c != 1);
        out += line + "\n";
    }
    for (const auto& h : hosts) {
        if (h.Outages.empty()) continue;
        const TOutage& o = h.Outages.back();
        // Server text is shown, never obeyed: no escape sequence reaches the terminal.
        out += "Last outage of " + base::ShowControls(h.Host) + ": " + LocalTime(o.Start) +
               (o.Ongoing ? " until now (still down"
                          : " to " + LocalTime(o.End) + " (" + DurationText(o.Seconds())) +
               ")" + (o.Hourly ? ", from hourly records" : ": " + base::ShowControls(o.Reason)) + "\n";
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x80) {
                    const std::size_t n = c >= 0x80 ? base::Utf8Length(text, i) : 0;
                    if (n > 0) {
                        out.append(text, i, n);
                        i += n - 1;
                        break;
                    }
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out + "\"";
}

std::string ReportJson(const std::vector<THostHistory>& hosts, std::int64_t from, std::int64_t to) {
    std::string out = "{\"from\":" + JsonString(base::UtcIsoTime(from)) +
                      ",\"to\":" + JsonString(base::UtcIsoTime(to)) + ",\"hosts\":[";
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        const THostHistory& h = hosts[i];
        out += i ? "," : "";
        out += "{\"slot\":" + std::to_string(h.Slot) + ",\"host\":" + JsonString(h.Host) +
               ",\"checks\":" + std::to_string(h.Checks) + ",\"failures\":" + std::to_string(h.Failures) +
               ",\"uptime_percent\":" + (h.Checks ? Fixed(h.UptimePercent(), 3) : "null") +
               ",\"outages\":{\"count\":" + std::to_string(h.Outages.size()) +
               ",\"longest_seconds\":" + std::to_string(h.LongestOutage()) + ",\"last\":";
        if (h.Outages.empty()) {
            out += "null";
        } else {
            const TOutage& o = h.Outages.back();
            out += "{\"start\":" + JsonString(base::UtcIsoTime(o.Start)) +
                   ",\"end\":" + JsonString(base::UtcIsoTime(o.End)) +
                   ",\"ongoing\":" + (o.Ongoing ? "true" : "false") +
                   ",\"reason\":" + (o.Hourly ? "null" : JsonString(o.Reason)) + "}";
        }
        out += "},\"response_ms\":";
        if (h.Timed)
            out += "{\"min\":" + Fixed(h.MinMs, 1) + ",\"median\":" + Fixed(h.MedianMs, 1) +
                   ",\"p95\":" + Fixed(h.P95Ms, 1) + ",\"max\":" + Fixed(h.MaxMs, 1) + "}";
        else
            out += "null";
        out += "}";
    }
    return out + "]}\n";
}

}  // namespace history
