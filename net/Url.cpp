#include "net/Url.h"

#include <cstddef>

namespace net {

namespace {

// Characters from 1-based position i to the end; empty past the end.
std::string_view From(std::string_view s, std::size_t i) {
    return i - 1 < s.size() ? s.substr(i - 1) : std::string_view{};
}

// The first n characters, clipped to the string.
std::string_view Left(std::string_view s, std::size_t n) {
    return s.substr(0, n);
}

bool StartsWithNoCase(std::string_view s, std::string_view lowerPrefix) {
    if (s.size() < lowerPrefix.size()) return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerPrefix[i]) return false;
    }
    return true;
}

}  // namespace

int LastPos(std::string_view sub, std::string_view s) {
    if (sub.empty()) return 0;
    std::size_t at = s.rfind(sub);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
}

void SplitUrl(std::string_view url, std::string& protocol, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path) {
    protocol.clear();
    user.clear();
    password.clear();
    host.clear();
    port.clear();
    path.clear();
    if (url.empty()) return;

    // p is the 1-based position just before the authority part.
    std::size_t p = 0;
    if (std::size_t i = url.find("://"); i != std::string_view::npos) {
        protocol = Left(url, i);
        p = i + 3;  // 1-based position of the second "/"
    } else if (url[0] == '/') {
        protocol = "http";
        if (url.size() > 1 && url[1] != '/') {
            path = url;
            return;
        }
        p = 1;
    } else if (StartsWithNoCase(url, "http:")) {
        protocol = "http";
        if (url.size() > 6 && url[6] != '/') {
            path = From(url, 6);
            return;
        }
        p = 6;
    } else if (StartsWithNoCase(url, "mailto:")) {
        protocol = "mailto";
        p = url.find(':') + 1;
    }

    std::string_view rest = From(url, p + 1);
    std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        path = rest.substr(slash);
        rest = rest.substr(0, slash);
    }

    int m = LastPos(":", rest);
    int a = LastPos("@", rest);
    // The colons of an IPv6 address in brackets are the address's: a port
    // comes only after the closing bracket.
    if (m > a && a < static_cast<int>(rest.size()) && rest[static_cast<std::size_t>(a)] == '[') {
        std::size_t close = rest.find(']', static_cast<std::size_t>(a));
        if (close != std::string_view::npos && static_cast<std::size_t>(m) <= close) m = 0;
    }
    if (m == 0 && a == 0) {
        host = rest;
        return;
    }
    std::string_view userInfo;
    if (m > a) {
        port = From(rest, m + 1);
        host = rest.substr(a, m - a - 1);
        if (a == 0) return;
        userInfo = Left(rest, a - 1);
    } else {
        host = From(rest, a + 1);
        userInfo = Left(rest, a - 1);
    }
    if (std::size_t colon = userInfo.find(':'); colon != std::string_view::npos) {
        user = userInfo.substr(0, colon);
        password = userInfo.substr(colon + 1);
    } else {
        user = userInfo;
    }
}

TUrlParts SplitUrl(std::string_view url) {
    TUrlParts r;
    SplitUrl(url, r.Protocol, r.User, r.Password, r.Host, r.Port, r.Path);
    return r;
}

std::string HidePassword(std::string_view url) {
    TUrlParts u = SplitUrl(url);
    std::string shown(url);
    if (u.Password.empty()) return shown;
    // The user information stands in the text as typed, before the host.
    const std::string typed = u.User + ":" + u.Password + "@";
    const std::size_t at = shown.find(typed);
    if (at == std::string::npos) return shown;
    return shown.replace(at + u.User.size() + 1, u.Password.size(), "***");
}

std::string WithoutBrackets(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return std::string(host);
}

}  // namespace net
