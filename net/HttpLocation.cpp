#include "net/HttpLocation.h"

#include "base/Strings.h"
#include "net/Url.h"

namespace net {

namespace {

bool Secure(std::string_view protocol) {
    return base::SameText(protocol, "https");
}

// The scheme a target on the current hop's host is reported with.
std::string SchemeOf(const THttpTarget& t) {
    return Secure(t.Protocol) ? "https://" : "http://";
}

bool IsAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsSchemeName(std::string_view s) {
    if (s.empty() || !IsAsciiAlpha(s[0])) return false;
    for (char c : s)
        if (!IsAsciiAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    return true;
}

// The path of a reference or a target, and its query if it has one ("?" alone
// is an empty query, which is not the same as none).
struct TPathAndQuery {
    std::string Path;
    bool HasQuery = false;
    std::string Query;

    void Set(std::string_view v) {
        if (const std::size_t q = v.find('?'); q != std::string_view::npos) {
            HasQuery = true;
            Query = v.substr(q + 1);
            v = v.substr(0, q);
        }
        Path = v;
    }
};

// A URI reference cut into its parts (the fragment is gone already).
struct TReference : TPathAndQuery {
    std::string Scheme;
    bool HasAuthority = false;
    std::string Authority;
};

TReference ParseReference(std::string_view v) {
    TReference r;
    const std::size_t colon = v.find(':');
    const std::size_t stop = v.find_first_of("/?");
    if (colon != std::string_view::npos && (stop == std::string_view::npos || colon < stop) &&
        IsSchemeName(v.substr(0, colon))) {
        r.Scheme = v.substr(0, colon);
        v.remove_prefix(colon + 1);
    }
    if (v.substr(0, 2) == "//") {
        v.remove_prefix(2);
        const std::size_t end = v.find_first_of("/?");
        r.HasAuthority = true;
        r.Authority = v.substr(0, end);
        v = end == std::string_view::npos ? std::string_view{} : v.substr(end);
    }
    r.Set(v);
    return r;
}

// "." and ".." segments taken out of a path, as a browser does.
std::string RemoveDotSegments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.substr(0, 3) == "../") {
            in.remove_prefix(3);
        } else if (in.substr(0, 2) == "./") {
            in.remove_prefix(2);
        } else if (in.substr(0, 3) == "/./") {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.substr(0, 4) == "/../" || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            const std::size_t last = out.rfind('/');
            out.resize(last == std::string::npos ? 0 : last);
            if (in == "/") {
                out += '/';
                break;
            }
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            const std::size_t next = in.find('/', 1);
            const std::size_t n = next == std::string_view::npos ? in.size() : next;
            out.append(in.substr(0, n));
            in.remove_prefix(n);
        }
    }
    return out;
}

// A path at the root of the host: "/" and the value. Appended rather than
// written as "/" + std::string(v), which GCC 12 warns about (-Wrestrict).
std::string AtRoot(std::string_view v) {
    std::string r = "/";
    r += v;
    return r;
}

// A relative path put on the folder of the base path.
std::string Merge(std::string_view basePath, std::string_view path) {
    const std::size_t slash = basePath.rfind('/');
    if (slash == std::string_view::npos) return AtRoot(path);
    return std::string(basePath.substr(0, slash + 1)) + std::string(path);
}

// Characters that cannot stand in a request target, percent-encoded.
std::string EncodeTarget(std::string_view v) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(v.size());
    for (char ch : v) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
            r += '%';
            r += hex[c >> 4];
            r += hex[c & 15];
        } else {
            r += ch;
        }
    }
    return r;
}

// The URL a reply came from, as the base a reference is resolved against.
struct TBase : TPathAndQuery {
    std::string Scheme;  // never empty
    std::string Host;
    std::string Port;  // as the URL names it; empty for the default
};

TBase BaseOf(const THttpTarget& t, bool viaProxy) {
    TBase b;
    std::string_view target = t.RequestPath;
    if (viaProxy) {
        TUrlParts cur = SplitUrl(t.RequestPath);  // the current absolute target
        b.Scheme = cur.Protocol;
        b.Host = cur.Host;
        b.Port = cur.Port;
        target = std::string_view(t.RequestPath).substr(t.RequestPath.size() - cur.Path.size());
    } else {
        b.Scheme = t.Protocol;
        b.Host = t.HostName;
        b.Port = t.Port;
    }
    if (b.Scheme.empty()) b.Scheme = "http";
    b.Set(target);
    return b;
}

// Resolves a reference against the current target and moves the target there.
void FollowReference(const TReference& r, bool viaProxy, THttpTarget& t) {
    const TBase b = BaseOf(t, viaProxy);
    // A scheme that repeats the base's, with no authority, is a relative
    // reference written the old way ("http:/x").
    const bool sameScheme = base::SameText(r.Scheme, b.Scheme) && !r.HasAuthority;
    const std::string scheme = r.Scheme.empty() ? b.Scheme : r.Scheme;
    std::string path;
    std::string query = r.Query;
    bool hasQuery = r.HasQuery;
    if ((!r.Scheme.empty() && !sameScheme) || r.HasAuthority) {
        path = RemoveDotSegments(r.Path);
    } else if (r.Path.empty()) {
        path = b.Path;
        if (!hasQuery) {
            hasQuery = b.HasQuery;
            query = b.Query;
        }
    } else if (r.Path[0] == '/') {
        path = RemoveDotSegments(r.Path);
    } else {
        path = RemoveDotSegments(Merge(b.Path, r.Path));
    }
    std::string host = b.Host;
    std::string port;
    if (r.HasAuthority) {
        TUrlParts a = SplitUrl("http://" + r.Authority);  // user information is never used
        host = a.Host;
        port = a.Port;
    } else if (Secure(scheme) == Secure(b.Scheme)) {
        port = viaProxy ? b.Port : t.Port;  // the same host on the same port
    }
    const std::string target = (path.empty() ? std::string("/") : path) + (hasQuery ? "?" + query : "");
    // A reference that names only a host ("http://b.example") is shown so, without a "/".
    const bool hostOnly = r.HasAuthority && path.empty() && !hasQuery;
    if (viaProxy) {
        t.HostName = host;
        t.RequestPath = AbsoluteTarget(scheme, host, port, hostOnly ? "" : target);
        t.EffectiveUrl = t.RequestPath;
    } else {
        t.Host = host;
        t.HostName = host;
        t.Port = port.empty() ? DefaultPortForProtocol(scheme) : port;
        t.RequestPath = target;
        t.EffectiveUrl = scheme + "://" + host + (hostOnly ? "" : target);
    }
    if (!r.Scheme.empty()) t.Protocol = r.Scheme;
}

// Whether the value cannot be a relative reference and is no URL either:
// its first segment has a colon after something that is not http, https or
// a "scheme://". Such a value is read as a pool entry is written.
bool HostAndPathForm(std::string_view v) {
    const std::size_t colon = v.find(':');
    const std::size_t stop = v.find_first_of("/?");
    if (colon == std::string_view::npos || colon == 0 || (stop != std::string_view::npos && stop < colon))
        return false;
    const std::string_view name = v.substr(0, colon);
    if (base::SameText(name, "http") || base::SameText(name, "https")) return false;
    return v.substr(colon + 1, 2) != "//";
}

// A value read as a pool entry is written: "host:port/path" moves to that
// host (the protocol, and the port unless named, go on), and anything else
// ("name:9") is a document at the root of the same host.
void FollowHostAndPath(std::string_view value, bool viaProxy, THttpTarget& t) {
    TUrlParts u = SplitUrl(value);
    const bool hostAndPath = !u.Host.empty() && !u.Path.empty();
    if (viaProxy) {
        TUrlParts cur = SplitUrl(t.RequestPath);  // the current absolute target
        if (hostAndPath) {
            t.HostName = u.Host;
            t.RequestPath = AbsoluteTarget(cur.Protocol, u.Host, u.Port, u.Path);
        } else {
            t.RequestPath = AbsoluteTarget(cur.Protocol, cur.Host, cur.Port, AtRoot(value));
        }
        t.Protocol = cur.Protocol.empty() ? "http" : cur.Protocol;
        t.EffectiveUrl = t.RequestPath;
        return;
    }
    if (hostAndPath) {
        // An https hop on 443 does not turn into plain HTTP to port 443.
        t.Host = u.Host;
        t.HostName = u.Host;
        if (!u.Port.empty()) t.Port = u.Port;
        t.RequestPath = u.Path;
    } else {
        t.EffectiveUrl = SchemeOf(t) + t.HostName + "/" + u.Host;
        t.RequestPath = AtRoot(value);
    }
}

}  // namespace

std::string DefaultPortForProtocol(std::string_view protocol) {
    return Secure(protocol) ? "443" : "80";
}

std::string AbsoluteTarget(const std::string& protocol, const std::string& host, const std::string& port,
                           std::string_view path) {
    std::string r = (protocol.empty() ? std::string("http") : protocol) + "://" + host;
    if (!port.empty()) r += ":" + port;
    r += path;
    return r;
}

TLocationResult FollowLocation(std::string_view value, bool viaProxy, THttpTarget& target) {
    // Blanks around the value are no part of it.
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (value.empty()) return TLocationResult::lrIgnored;
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return TLocationResult::lrInvalid;  // would end or split the request line
    }
    // The fragment is the browser's, never the server's.
    if (const std::size_t hash = value.find('#'); hash != std::string_view::npos)
        value = value.substr(0, hash);
    const std::string encoded = EncodeTarget(value);
    if (encoded.empty()) {
        FollowReference(TReference{}, viaProxy, target);  // "#top" alone: the same document again
    } else if (HostAndPathForm(encoded)) {
        FollowHostAndPath(encoded, viaProxy, target);
    } else {
        FollowReference(ParseReference(encoded), viaProxy, target);
    }
    return TLocationResult::lrFollowed;
}

std::string TargetOrigin(const THttpTarget& t, bool viaProxy) {
    std::string protocol = t.Protocol;
    std::string host = t.HostName;
    std::string port = t.Port;
    if (viaProxy) {
        TUrlParts u = SplitUrl(t.RequestPath);
        protocol = u.Protocol;
        host = u.Host;
        port = u.Port;
    }
    if (protocol.empty()) protocol = "http";
    if (port.empty()) port = DefaultPortForProtocol(protocol);
    return base::LowerCase(protocol) + "://" + base::LowerCase(host) + ":" + port;
}

}  // namespace net
