// Fuzzes the metrics exposition: the input is host texts separated by NUL
// bytes, each host passing or failing by its first byte. Whatever the
// texts, the exposition is valid text format: UTF-8 throughout, every line
// a comment or a sample, every label value quoted with only the three
// escapes the format knows, and one sample per host in each family.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/serve/Metrics.h"
#include "app/core/PassOutcome.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool ValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80                 ? 1
                        : c >= 0xC2 && c <= 0xDF ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        if (n == 0 || i + n > s.size()) return false;
        unsigned cp = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

// One sample line: name{label="value",...} number. Returns false when it is
// not one.
bool ValidSample(const std::string& line) {
    std::size_t i = 0;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_')) ++i;
    if (i == 0) return false;
    if (i < line.size() && line[i] == '{') {
        ++i;
        for (;;) {
            const std::size_t name = i;
            while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
                ++i;
            if (i == name || i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"') return false;
            i += 2;
            for (;; ++i) {
                if (i >= line.size()) return false;
                if (line[i] == '"') break;
                if (line[i] == '\n') return false;
                if (line[i] == '\\') {
                    if (i + 1 >= line.size()) return false;
                    const char e = line[++i];
                    if (e != '\\' && e != '"' && e != 'n') return false;
                }
            }
            ++i;
            if (i < line.size() && line[i] == ',') {
                ++i;
                continue;
            }
            if (i >= line.size() || line[i] != '}') return false;
            ++i;
            break;
        }
    }
    if (i >= line.size() || line[i] != ' ') return false;
    const std::string number = line.substr(i + 1);
    char* end = nullptr;
    std::strtod(number.c_str(), &end);
    return !number.empty() && end && *end == '\0';
}

}  // namespace

// The exposition's file also holds the publisher, which starts the metrics
// listener; the fuzz target never starts one, so the listener (and the
// socket layer under it) is not built in: these stand in for its three
// entry points the publisher names, and would stop the run if ever called.
extern "C" [[noreturn]] void ListenerConstructed() __asm__("_ZN3app14TMetricsServerC1Ev");
extern "C" [[noreturn]] void ListenerDestroyed() __asm__("_ZN3app14TMetricsServerD1Ev");
extern "C" [[noreturn]] void ListenerListens() __asm__(
    "_ZN3app14TMetricsServer6ListenERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
void ListenerConstructed() {
    std::abort();
}
void ListenerDestroyed() {
    std::abort();
}
void ListenerListens() {
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    app::TPassOutcome pass;
    std::string cur;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0) {
            cur += static_cast<char>(data[i]);
            continue;
        }
        app::THostOutcome h;
        h.Host = cur;
        h.Passed = cur.empty() || (cur[0] & 1);
        h.StatusCode = cur.empty() ? 0 : static_cast<unsigned char>(cur[0]);
        h.CertExpiry = cur.size() > 1 && (cur[1] & 1) ? 1800000000 : 0;
        pass.Hosts.push_back(h);
        cur.clear();
    }
    pass.Passed = pass.FailedCount() == 0;
    pass.EndTime = 1700000000.5;
    const std::string text = app::MetricsText(&pass);
    Check(ValidUtf8(text));
    Check(!text.empty() && text.back() == '\n');
    std::size_t samples = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t nl = text.find('\n', at);
        const std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) continue;
        Check(ValidSample(line));
        if (line.rfind("sentrel_probe_success{", 0) == 0) ++samples;
    }
    Check(samples == pass.Hosts.size());
    return 0;
}
