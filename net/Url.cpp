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

namespace {

// Where the authority of url begins: after "://", or at the start.
std::size_t AuthorityStart(std::string_view url) {
    const std::size_t i = url.find("://");
    return i == std::string_view::npos ? 0 : i + 3;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string HidePassword(std::string_view url) {
    std::string shown(url);
    const std::size_t start = AuthorityStart(url);
    const std::size_t firstAt = url.find('@', start);
    if (firstAt == std::string_view::npos) return shown;
    // The user information ends at the last "@" before the first "/" behind
    // an "@": a password may hold "/" and "@", the host neither.
    const std::size_t slash = url.find('/', firstAt);
    const std::size_t at = url.substr(0, slash).rfind('@');
    const std::size_t colon = url.find(':', start);
    if (colon == std::string_view::npos || colon + 1 >= at) return shown;
    // A colon after a "/" is the path's ("host/a:b@c"), not a password's.
    if (url.substr(start, colon - start).find('/') != std::string_view::npos) return shown;
    return shown.replace(colon + 1, at - colon - 1, "***");
}

std::string WithoutFragment(std::string_view url) {
    const std::size_t start = AuthorityStart(url);
    const std::size_t slash = url.find('/', start);
    const std::size_t at = url.substr(0, slash).rfind('@');
    const std::size_t from = at == std::string_view::npos || at < start ? start : at + 1;
    return std::string(url.substr(0, url.find('#', from)));
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool IsHttpProtocol(std::string_view protocol) {
    const auto same = [&](std::string_view name) {
        if (protocol.size() != name.size()) return false;
        for (std::size_t i = 0; i < name.size(); ++i) {
            char c = protocol[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != name[i]) return false;
        }
        return true;
    };
    return protocol.empty() || same("http") || same("https");
}

bool IsValidHost(std::string_view host) {
    if (host.empty()) return false;
    for (char ch : host) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F) return false;
    }
    if (host.front() == '[') {
        // An IPv6 address: its colons are inside the brackets, and nothing
        // comes after them.
        const std::size_t close = host.find(']');
        return close == host.size() - 1 && close > 1;
    }
    return host.find_first_of(":[]") == std::string_view::npos;
}

std::string WithoutBrackets(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return std::string(host);
}

}  // namespace net
