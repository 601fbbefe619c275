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

void FollowDirect(std::string_view value, THttpTarget& t) {
    if (value[0] == '/') {
        t.RequestPath = value;
        t.EffectiveUrl = SchemeOf(t) + t.Host + std::string(value);
        return;
    }
    TUrlParts u = SplitUrl(value);
    if (!u.Protocol.empty() && !u.Host.empty()) {
        t.Host = u.Host;
        t.HostName = u.Host;
        t.Port = u.Port.empty() ? DefaultPortForProtocol(u.Protocol) : u.Port;
        t.RequestPath = u.Path.empty() ? "/" : u.Path;
        t.EffectiveUrl = u.Protocol + "://" + u.Host + u.Path;
        t.Protocol = u.Protocol;
    } else if (u.Host.empty() && !u.Path.empty()) {
        std::string protocol = u.Protocol.empty() ? "http" : u.Protocol;
        if (!u.Port.empty())
            t.Port = u.Port;
        else if (Secure(protocol) != Secure(t.Protocol))
            t.Port = DefaultPortForProtocol(protocol);  // the same host, on the other protocol's port
        t.RequestPath = u.Path;
        t.Protocol = protocol;
        t.EffectiveUrl = t.Protocol + "://" + t.HostName + u.Path;
    } else if (u.Protocol.empty() && !u.Host.empty() && !u.Path.empty()) {
        // Host and path, as a pool entry is written. The port stays unless
        // the value names one, and so does the protocol that goes with it: an
        // https hop on 443 does not turn into plain HTTP to port 443.
        t.Host = u.Host;
        t.HostName = u.Host;
        if (!u.Port.empty()) t.Port = u.Port;
        t.RequestPath = u.Path;
    } else {
        // A bare name ("page.html"): a document at the root of the same host.
        t.EffectiveUrl = SchemeOf(t) + t.HostName + "/" + u.Host;
        t.RequestPath = "/" + std::string(value);
    }
}

void FollowThroughProxy(std::string_view value, THttpTarget& t) {
    TUrlParts cur = SplitUrl(t.RequestPath);  // the current absolute target
    if (value[0] == '/') {
        t.RequestPath = AbsoluteTarget(cur.Protocol, cur.Host, cur.Port, value);
    } else {
        TUrlParts u = SplitUrl(value);
        if (!u.Protocol.empty() && !u.Host.empty()) {
            t.HostName = u.Host;
            t.RequestPath = AbsoluteTarget(u.Protocol, u.Host, u.Port, u.Path);
            t.Protocol = u.Protocol;
        } else if (u.Host.empty() && !u.Path.empty()) {
            std::string protocol = u.Protocol.empty() ? cur.Protocol : u.Protocol;
            t.RequestPath = AbsoluteTarget(protocol, cur.Host, u.Port.empty() ? cur.Port : u.Port, u.Path);
            t.Protocol = protocol.empty() ? "http" : protocol;
        } else if (u.Protocol.empty() && !u.Host.empty() && !u.Path.empty()) {
            // Host and path: the protocol of the current target goes on.
            t.HostName = u.Host;
            t.RequestPath = AbsoluteTarget(cur.Protocol, u.Host, u.Port, u.Path);
            t.Protocol = cur.Protocol.empty() ? "http" : cur.Protocol;
        } else {
            t.RequestPath = AbsoluteTarget(cur.Protocol, cur.Host, cur.Port, "/" + std::string(value));
        }
    }
    t.EffectiveUrl = t.RequestPath;
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

bool FollowLocation(std::string_view value, bool viaProxy, THttpTarget& target) {
    if (base::Trim(value).empty()) return false;
    if (viaProxy)
        FollowThroughProxy(value, target);
    else
        FollowDirect(value, target);
    return true;
}

}  // namespace net
