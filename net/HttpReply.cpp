#include "net/HttpReply.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/Strings.h"

namespace net {

char* THttpLineBuffer::WritePtr() {
    if (!data_) {
        data_.reset(new char[Capacity + 1]);
        data_[0] = 0;
    }
    if (begin_ > 0) {
        int n = Length();
        if (n > 0) std::memmove(data_.get(), data_.get() + begin_, static_cast<std::size_t>(n));
        begin_ = 0;
        end_ = n;
        data_[end_] = 0;
    }
    return data_.get() + end_;
}

void THttpLineBuffer::Commit(int n) {
    if (n <= 0 || !data_) return;
    if (n > Capacity - end_) n = Capacity - end_;  // never past the buffer, whatever the caller says
    end_ += n;
    data_[end_] = 0;
}

namespace {

// Bytes before the first LF of the held text, or -1 when the text (which ends
// at its first zero byte) holds none.
long LineLength(const char* start, std::size_t held) {
    const char* lf = static_cast<const char*>(std::memchr(start, '\n', held));
    if (lf == nullptr) return -1;
    auto k = static_cast<std::size_t>(lf - start);
    if (std::memchr(start, '\0', k) != nullptr) return -1;
    return static_cast<long>(k);
}

}  // namespace

bool THttpLineBuffer::HasLine() const {
    return Length() > 0 && LineLength(data_.get() + begin_, static_cast<std::size_t>(Length())) >= 0;
}

bool THttpLineBuffer::ZeroInLine() const {
    if (Length() == 0) return false;
    const char* start = data_.get() + begin_;
    const auto held = static_cast<std::size_t>(Length());
    const char* lf = static_cast<const char*>(std::memchr(start, '\n', held));
    const std::size_t k = lf ? static_cast<std::size_t>(lf - start) : held;
    return std::memchr(start, '\0', k) != nullptr;
}

bool THttpLineBuffer::NextLine(std::string_view& line) {
    if (Length() == 0) return false;
    const char* start = data_.get() + begin_;
    const long found = LineLength(start, static_cast<std::size_t>(Length()));
    if (found < 0) return false;
    auto k = static_cast<std::size_t>(found);  // bytes before the LF
    std::size_t len = (k > 0 && start[k - 1] == '\r') ? k - 1 : k;
    line = std::string_view(start, len);
    begin_ += static_cast<int>(k + 1);
    if (begin_ == end_) begin_ = end_ = 0;  // keep the start of the buffer free for the next read
    return true;
}

namespace {

// Whether line begins with prefix, ASCII letters in any case; with partial
// set, a line shorter than prefix that begins it is enough.
bool StartsNoCase(std::string_view line, std::string_view prefix, bool partial = false) {
    if (line.size() < prefix.size() && !partial) return false;
    const std::size_t n = std::min(line.size(), prefix.size());
    for (std::size_t i = 0; i < n; ++i) {
        char c = line[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i]) return false;
    }
    return true;
}

bool HtmlStart(std::string_view line) {
    return StartsNoCase(line, "<HTML>");
}

// Characters from 1-based position index, count of them, clipped; empty for
// a count of 0 or less.
std::string_view Sub(std::string_view s, long index, long count) {
    if (index < 1) index = 1;
    if (count <= 0 || static_cast<std::size_t>(index) > s.size()) return {};
    return s.substr(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(count));
}

}  // namespace

std::optional<std::int32_t> HeaderNumber(std::string_view text) {
    // Decimal digits only, after an optional sign: a hexadecimal form such as
    // "0x10" or "$10" is no status code nor length a server means.
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
    if (i >= text.size()) return std::nullopt;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        v = v * 10 + (text[i] - '0');
        if (v > 2147483648LL) return std::nullopt;
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The code of a valid status line; nothing for "HTTP/2 200", "HTTP/1.1  500",
// "HTTP/1.1 -50", "HTTP/1.1 000" or a line without a code.
std::optional<std::int32_t> StatusCodeOf(std::string_view line) {
    if (line.size() < 12 || (line.substr(0, 9) != "HTTP/1.0 " && line.substr(0, 9) != "HTTP/1.1 "))
        return std::nullopt;
    if (!IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11])) return std::nullopt;
    if (line.size() > 12 && line[12] != ' ') return std::nullopt;
    const int code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (code < 100 || code > 599) return std::nullopt;
    return code;
}

}  // namespace

std::optional<std::int64_t> ContentLengthValue(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    std::int64_t v = 0;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        if (v > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

THeaderLine ParseHeaderLine(std::string_view line) {
    THeaderLine r;
    if (line.empty()) {
        r.Kind = THeaderLineKind::hlEmpty;
        return r;
    }
    if (HtmlStart(line)) {
        r.Kind = THeaderLineKind::hlHtml;
        return r;
    }
    if (line.substr(0, 5) == "HTTP/") {
        r.Kind = THeaderLineKind::hlStatus;
        r.StatusCode = StatusCodeOf(line);
        r.ReasonPhrase = Sub(line, 14, static_cast<long>(line.size()));
        return r;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return r;
    r.Kind = THeaderLineKind::hlField;
    r.Name = base::LowerCase(line.substr(0, colon));
    // Spaces are skipped only while they are before the last character.
    std::size_t i = colon + 1;
    while (i + 1 < line.size() && line[i] == ' ') ++i;
    r.Value = i < line.size() ? line.substr(i) : std::string_view{};
    return r;
}

bool CanStartReply(std::string_view bytes, bool complete) {
    const bool partial = !complete;
    // The status line's "HTTP/" is matched as written; the version after it
    // is the status line's own business.
    const std::string_view http = "HTTP/";
    const bool status = bytes.substr(0, std::min(bytes.size(), http.size())) ==
                            http.substr(0, std::min(bytes.size(), http.size())) &&
                        (partial || bytes.size() >= http.size());
    return status || StartsNoCase(bytes, "<HTML>", partial);
}

void ParseContentRange(std::string_view value, std::string& begin, std::string& end) {
    auto dash = static_cast<long>(base::Pos("-", value));
    auto slash = static_cast<long>(base::Pos("/", value));
    if (dash == 0) {  // "bytes */1000" names no range
        begin.clear();
        end.clear();
        return;
    }
    begin = Sub(value, 7, dash - 7);
    end = Sub(value, dash + 1, slash - dash - 1);
    const auto digits = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return IsDigit(c); });
    };
    if (begin.empty() || !digits(begin) || !digits(end)) {
        begin.clear();
        end.clear();
    }
}

}  // namespace net
