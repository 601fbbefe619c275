#include "net/PhaseTimes.h"

#include <cstdio>

namespace net {

namespace {

std::string Ms(const char* name, double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %.1f ms", name, seconds * 1000);
    return text;
}

// 2345 as "2,345".
std::string Grouped(std::int64_t n) {
    std::string digits = std::to_string(n < 0 ? 0 : n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

std::string PhaseTimesLine(const TPhaseTimes& t) {
    std::string line =
        Ms("lookup", t.Seconds[TPhaseTimes::Lookup]) + ", " + Ms("connect", t.Seconds[TPhaseTimes::Connect]);
    if (t.Proxied) line += ", " + Ms("proxy", t.Seconds[TPhaseTimes::Proxy]);
    if (t.Secure) line += ", " + Ms("tls", t.Seconds[TPhaseTimes::Tls]);
    line += ", " + Ms("first byte", t.Seconds[TPhaseTimes::FirstByte]) + ", " + Ms("total", t.Total);
    const int redirects = t.Hops > 1 ? t.Hops - 1 : 0;
    line += ", " + std::to_string(redirects) + (redirects == 1 ? " redirect" : " redirects");
    line += ", " + Grouped(t.BodyBytes) + (t.BodyBytes == 1 ? " byte" : " bytes");
    line += ", status " + std::to_string(t.FinalStatus);
    return line;
}

}  // namespace net
