#include "net/HttpLocation.h"

#include "base/Strings.h"
#include "net/Idn.h"
#include "net/Url.h"

namespace net {

namespace {

bool Secure(std::string_view protocol) {
    return base::SameText(protocol, "https");
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
    if (b.Port == DefaultPortForProtocol(b.Scheme)) b.Port.clear();
    b.Set(target);
    return b;
}

// Where a reference points: one absolute URL, from which both the direct and
// the proxy request are made.
struct TAbsolute {
    std::string Scheme;  // as written
    std::string Host;
    std::string Port;  // as named; empty for the scheme's default
    std::string Path;
    bool HasQuery = false;
    std::string Query;
    bool HostOnly = false;  // only a host was named ("http://b.example"): shown so, without a "/"

    std::string Target() const {
        return (Path.empty() ? std::string("/") : Path) + (HasQuery ? "?" + Query : "");
    }
};

// Whether a port as a URL names it can be one: empty, or 1 to 65535.
bool IsPort(std::string_view port) {
    if (port.empty()) return true;
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
    const int n = std::stoi(std::string(port));
    return n >= 1 && n <= 65535;
}

// Resolves a reference against the base URL (RFC 3986 section 5.2; a scheme
// that repeats the base's with no authority is a relative reference written
// the old way, "http:/x").
TAbsolute Resolve(const TReference& r, const TBase& b) {
    TAbsolute a;
    a.Scheme = r.Scheme.empty() ? b.Scheme : r.Scheme;
    a.Host = b.Host;
    a.Port = b.Port;
    a.HasQuery = r.HasQuery;
    a.Query = r.Query;
    const bool sameScheme = r.Scheme.empty() || base::SameText(r.Scheme, b.Scheme);
    if (r.HasAuthority) {
        const TUrlParts u = SplitUrl("http://" + r.Authority);  // user information is never used
        a.Host = u.Host;
        a.Port = u.Port;
        a.Path = RemoveDotSegments(r.Path);
        a.HostOnly = r.Path.empty() && !r.HasQuery;
    } else if (!sameScheme) {
        // Another scheme with a path and no host ("http:page.html" from an
        // https page): the same host on that scheme's port, the path from the
        // root.
        a.Port.clear();
        a.Path = RemoveDotSegments(!r.Path.empty() && r.Path[0] == '/' ? r.Path : AtRoot(r.Path));
    } else if (r.Path.empty()) {
        a.Path = b.Path;
        if (!r.HasQuery) {
            a.HasQuery = b.HasQuery;
            a.Query = b.Query;
        }
    } else if (r.Path[0] == '/') {
        a.Path = RemoveDotSegments(r.Path);
    } else {
        a.Path = RemoveDotSegments(Merge(b.Path, r.Path));
    }
    return a;
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
// host on the same scheme (its default port unless one is named), and
// anything else ("name:9") is a document at the root of the same host.
TAbsolute ResolveHostAndPath(std::string_view value, const TBase& b) {
    const TUrlParts u = SplitUrl(value);
    TAbsolute a;
    a.Scheme = b.Scheme;
    if (!u.Host.empty() && !u.Path.empty()) {
        TPathAndQuery pq;
        pq.Set(u.Path);
        a.Host = u.Host;
        a.Port = u.Port;
        a.Path = RemoveDotSegments(pq.Path);
        a.HasQuery = pq.HasQuery;
        a.Query = pq.Query;
    } else {
        a.Host = b.Host;
        a.Port = b.Port;
        a.Path = AtRoot(value);
    }
    return a;
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
    const TBase b = BaseOf(target, viaProxy);
    TAbsolute a;
    std::string namedScheme;  // the scheme the value names, if any
    if (encoded.empty()) {
        a = Resolve(TReference{}, b);  // "#top" alone: the same document again
    } else if (HostAndPathForm(encoded)) {
        a = ResolveHostAndPath(encoded, b);
    } else {
        const TReference r = ParseReference(encoded);
        if (!r.Scheme.empty() && !IsHttpProtocol(r.Scheme)) return TLocationResult::lrUnsupported;
        namedScheme = r.Scheme;
        a = Resolve(r, b);
    }
    // A host in another script arrives percent-encoded with the rest of the
    // value: it goes on in its ASCII form, and one without such a form is no host.
    if (a.Host.find('%') != std::string::npos) {
        if (const std::string typed = PercentDecode(a.Host); IsInternationalHost(typed))
            if (!ToAsciiHost(typed, a.Host)) return TLocationResult::lrInvalid;
    }
    // "//other:81:/x" names the host "other:81", which is none.
    if (!IsValidHost(a.Host) || !IsPort(a.Port)) return TLocationResult::lrInvalid;

    // Both ways of addressing come from the one URL.
    const std::string path = a.HostOnly ? std::string() : a.Target();
    if (viaProxy) {
        target.HostName = a.Host;
        target.RequestPath = AbsoluteTarget(a.Scheme, a.Host, a.Port, path);
        target.EffectiveUrl = target.RequestPath;
    } else {
        target.Host = a.Host;
        target.HostName = a.Host;
        target.Port = a.Port.empty() ? DefaultPortForProtocol(a.Scheme) : a.Port;
        target.RequestPath = a.Target();
        target.EffectiveUrl = a.Scheme + "://" + a.Host + path;  // the port is never shown
    }
    if (!namedScheme.empty()) target.Protocol = namedScheme;
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
