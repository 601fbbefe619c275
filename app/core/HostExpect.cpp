#include "app/core/HostExpect.h"

#include <cmath>
#include <cstdio>
#include <optional>

#include "base/Strings.h"

namespace app {

namespace {

// A plain decimal number (no sign, no hexadecimal): what a limit is written as.
std::optional<std::int64_t> Decimal(std::string_view s) {
    if (s.empty() || s.size() > 12) return std::nullopt;
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

}  // namespace

bool THostExpect::StatusAccepted(int status) const {
    if (Status.empty()) return status < 400;
    for (const Range& r : Status)
        if (status >= r.From && status <= r.To) return true;
    return false;
}

std::string ParseStatusList(const std::string& text, THostExpect& into) {
    std::vector<THostExpect::Range> ranges;
    const std::string t = base::Trim(text);
    const std::string wrong = Quoted(t) + " is not a status list such as 200,301-308";
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = t.find(',', start);
        const std::string item = base::Trim(t.substr(start, comma - start));
        const std::size_t dash = item.find('-');
        auto from = Decimal(base::Trim(item.substr(0, dash)));
        auto to = dash == std::string::npos ? from : Decimal(base::Trim(item.substr(dash + 1)));
        if (!from || !to || *from < 100 || *to > 599 || *to < *from) return wrong;
        ranges.push_back({static_cast<int>(*from), static_cast<int>(*to)});
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    into.Status = std::move(ranges);
    into.StatusText = t;
    return "";
}

std::string ParseMaxMs(const std::string& text, THostExpect& into) {
    auto v = Decimal(base::Trim(text));
    if (!v || *v < 1 || *v > kMaxExpectMs)
        return Quoted(base::Trim(text)) + " is not a number of milliseconds from 1 to " +
               std::to_string(kMaxExpectMs);
    into.MaxMs = static_cast<std::int32_t>(*v);
    return "";
}

std::string ParseCertDays(const std::string& text, THostExpect& into) {
    auto v = Decimal(base::Trim(text));
    if (!v || *v > 3650) return Quoted(base::Trim(text)) + " is not a number of days from 0 to 3650";
    into.CertDays = static_cast<std::int32_t>(*v);
    return "";
}

std::string ParseText(const std::string& text, std::string& into, bool& has) {
    // An empty text is in every page: it would pass or fail every host
    // without looking at it.
    if (text.empty()) return "the text is empty";
    into = text;
    has = true;
    return "";
}

void TTextMatcher::Feed(std::string_view piece) {
    if (found_ || text_.empty() || piece.empty()) return;
    const std::size_t keep = text_.size() - 1;
    if (!tail_.empty()) {
        // A text that starts in the bytes kept and ends in this piece.
        edge_.assign(tail_);
        edge_.append(piece.substr(0, std::min(keep, piece.size())));
        if (edge_.find(text_) != std::string::npos) {
            found_ = true;
            return;
        }
    }
    if (piece.find(text_) != std::string_view::npos) {
        found_ = true;
        return;
    }
    if (piece.size() >= keep) {
        tail_.assign(piece.substr(piece.size() - keep));
    } else {
        tail_.append(piece);
        if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
    }
}

TBodyCheck::TBodyCheck(const THostExpect& expect)
    : searchContains_(expect.HasContains),
      searchNotContains_(expect.HasNotContains),
      contains_(expect.Contains),
      notContains_(expect.NotContains) {}

std::int64_t TBodyCheck::Write(const void* buffer, std::int64_t count) {
    if (count > 0) {
        const std::string_view piece(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        if (searchContains_) contains_.Feed(piece);
        if (searchNotContains_) notContains_.Feed(piece);
    }
    return TCountingStream::Write(buffer, count);
}

std::string JudgeFetch(const THostExpect& expect, const TFetchSeen& seen, const TBodyCheck& body) {
    if (seen.Failed && !(seen.FailedOnStatus && !expect.Status.empty())) return "";
    if (!expect.Status.empty() && !expect.StatusAccepted(seen.StatusCode))
        return "Unexpected status " + std::to_string(seen.StatusCode) + " (expected " + expect.StatusText +
               ")";
    if (expect.HasContains && !body.ContainsFound()) return "Text not found: " + expect.Contains;
    if (expect.HasNotContains && body.NotContainsFound()) return "Unwanted text found: " + expect.NotContains;
    if (expect.MaxMs > 0 && seen.Seconds * 1000 > expect.MaxMs)
        return TooSlowText(seen.Seconds, expect.MaxMs);
    return "";
}

std::string TooSlowText(double seconds, std::int32_t limitMs) {
    char text[96];
    std::snprintf(text, sizeof text, "Too slow: %.0f ms (limit %d ms)", std::ceil(seconds * 1000),
                  static_cast<int>(limitMs));
    return text;
}

}  // namespace app
