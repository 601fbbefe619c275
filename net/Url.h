// Cutting a URL into its parts. The HTTP client never validates what the user
// typed into the pool list: it cuts the text into protocol, user, password,
// host, port and path with SplitUrl and fills the gaps with its own defaults.
// A bare host name ("srv") is the common case, so text without "://" matters
// as much as a full URL. Plain functions with no state: every input, the
// empty one included, gives a result, and nothing here raises.
#pragma once

#include <string>
#include <string_view>

namespace net {

// 1-based position where the last occurrence of sub in s begins, 0 when sub
// does not occur (or is empty).
int LastPos(std::string_view sub, std::string_view s);

// Splits url into its six parts. Every output is overwritten; a part the text
// does not hold comes back empty. No part changes letter case, and the port is
// text, neither checked nor converted.
void SplitUrl(std::string_view url, std::string& protocol, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path);

// The same, as one value, for callers that want the parts together.
struct TUrlParts {
    std::string Protocol;
    std::string User;
    std::string Password;
    std::string Host;
    std::string Port;
    std::string Path;
};
TUrlParts SplitUrl(std::string_view url);

// url as it may be shown or written anywhere: the password of its user
// information, when it has one, becomes "***" (the user name stays). What
// could be a password is hidden however the URL splits: from the first ":"
// of the authority up to the last "@" before the host, even when a "/" in
// the password cut the authority short ("user:se/cret@host").
std::string HidePassword(std::string_view url);

// url without its "#fragment". The fragment starts at the first "#" after
// the user information (a "#" before the last "@" of the authority is part
// of a password), wherever the path would start.
std::string WithoutFragment(std::string_view url);

// %XX escapes decoded; a "%" not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view text);

// Whether the client fetches this protocol: http and https in any case, and
// an empty one (a bare host name is fetched over http).
bool IsHttpProtocol(std::string_view protocol);

// Whether a host as SplitUrl gives it can name a host: not empty, and no
// colon outside an IPv6 address's brackets, no blank, no control character.
bool IsValidHost(std::string_view host);

// A host as sockets and certificates name it: an IPv6 address without the
// brackets a URL puts around it ("[::1]" -> "::1"); anything else as it stands.
std::string WithoutBrackets(std::string_view host);

}  // namespace net
