// Fuzzes the report's --since: the first byte moves "now", the rest is the
// text. Whatever is taken starts no later than now and not before 1970; a
// span is exactly that many hours or days back; a date reads back as the
// same day and time of day (in UTC here), so no day the calendar lacks is
// ever moved onto another; a refusal with a reason quotes the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "history/HistoryReport.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool Digits(const std::string& s, std::size_t at, std::size_t n) {
    for (std::size_t i = at; i < at + n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int Field(const std::string& s, std::size_t at, std::size_t n) {
    return std::atoi(s.substr(at, n).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::int64_t now = 1'800'000'000 + std::int64_t(data[0]) * 86'399;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string why = "stale";
    const auto from = history::ParseSince(text, now, &why);
    Check(from == history::ParseSince(text, now));
    if (!from) {
        Check(why.empty() || why.rfind("'" + text + "' ", 0) == 0);
        return 0;
    }
    Check(why.empty());
    Check(*from >= 0 && *from <= now);
    const char unit = text.empty() ? 0 : text.back();
    if (unit == 'h' || unit == 'd') {
        Check(text.size() >= 2 && text.size() <= 7 && Digits(text, 0, text.size() - 1));
        const std::int64_t n = std::atoll(text.c_str());
        Check(n > 0 && *from == now - n * (unit == 'h' ? 3600 : 86400));
        return 0;
    }
    Check(text.size() == 10 || text.size() == 16);
    Check(Digits(text, 0, 4) && text[4] == '-' && Digits(text, 5, 2) && text[7] == '-' && Digits(text, 8, 2));
    const std::time_t t = static_cast<std::time_t>(*from);
    std::tm tm{};
    gmtime_r(&t, &tm);
    Check(tm.tm_year + 1900 == Field(text, 0, 4) && tm.tm_mon + 1 == Field(text, 5, 2) &&
          tm.tm_mday == Field(text, 8, 2));
    if (text.size() == 16) {
        Check(text[10] == 'T' && Digits(text, 11, 2) && text[13] == ':' && Digits(text, 14, 2));
        Check(tm.tm_hour == Field(text, 11, 2) && tm.tm_min == Field(text, 14, 2));
    } else {
        Check(tm.tm_hour == 0 && tm.tm_min == 0);
    }
    return 0;
}
