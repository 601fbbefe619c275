// What a host must do to count as up, beyond answering below 400: the
// statuses that count as up, a text its page must (or must not) contain, a
// limit on the whole request's time, its own certificate warning window.
// Set per pool row in sections [server1] ... [server10] of sentrel.ini, or
// on --check's command line. Nothing set: a host is judged as always.
//
// The page is searched as it streams in (TBodyCheck), piece by piece, with
// only the last few bytes of the text's length kept between pieces, so a
// page of any size costs no more memory than a small one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Stream.h"

namespace app {

struct THostExpect {
    struct Range {
        int From = 0, To = 0;
        bool operator==(const Range&) const = default;
    };
    std::vector<Range> Status;  // empty: every status below 400 is up
    std::string StatusText;     // the list as written, for the failure's words
    bool HasContains = false, HasNotContains = false;
    std::string Contains, NotContains;
    std::int32_t MaxMs = 0;      // 0: no limit
    std::int32_t CertDays = -1;  // -1: the settings' certwarndays
    // A value that could not be read ("status in sentrel.ini: ..."): the host
    // fails every check with it, unfetched.
    std::string Error;

    bool StatusAccepted(int status) const;
};

inline constexpr std::int32_t kMaxExpectMs = 86400000;

// The readers of each value; each returns "" or what is wrong with it
// ("'20x' is not a status list such as 200,301-308").
std::string ParseStatusList(const std::string& text, THostExpect& into);
std::string ParseMaxMs(const std::string& text, THostExpect& into);
std::string ParseCertDays(const std::string& text, THostExpect& into);
std::string ParseText(const std::string& text, std::string& into, bool& has);

// Looks for one text in a stream handed over in pieces of any size.
class TTextMatcher {
public:
    explicit TTextMatcher(std::string text = "") : text_(std::move(text)) {}
    void Feed(std::string_view piece);
    bool Found() const { return found_; }

private:
    std::string text_;
    std::string tail_;  // the last text-length-minus-one bytes seen
    std::string edge_;  // the tail and the next piece's head, searched together
    bool found_ = false;
};

// The body stream of a checked host: counts the bytes, as the pass needs
// only whether there were any, and runs the host's text searches over them.
class TBodyCheck : public base::TCountingStream {
public:
    TBodyCheck() = default;
    explicit TBodyCheck(const THostExpect& expect);
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    bool ContainsFound() const { return contains_.Found(); }
    bool NotContainsFound() const { return notContains_.Found(); }

private:
    bool searchContains_ = false, searchNotContains_ = false;
    TTextMatcher contains_, notContains_;
};

// What a fetch that ended showed, for the judgement.
struct TFetchSeen {
    bool Failed = false;          // the client failed the request
    bool FailedOnStatus = false;  // ... only because the reply's status was 400 or more
    int StatusCode = 0;
    double Seconds = 0;
};

// "" when the host is up by its expectations; otherwise why not:
// "Unexpected status 302 (expected 200)", "Text not found: TEXT",
// "Unwanted text found: TEXT", "Too slow: 2345 ms (limit 2000 ms)". A fetch
// the client failed for another reason than its status is not judged here.
std::string JudgeFetch(const THostExpect& expect, const TFetchSeen& seen, const TBodyCheck& body);

// "Too slow: 2345 ms (limit 2000 ms)": a request that took seconds against
// a limit of limitMs, whether it was ended at the limit or came back late.
std::string TooSlowText(double seconds, std::int32_t limitMs);

}  // namespace app
