// Where a request goes, and where a "location" header sends it next. The
// target is the address of one hop: the host and port the connection goes
// to, the Host header, the request-target of the request line, the URL the
// client reports as effective, and the protocol that picks the transport.
// FollowLocation is plain text work with no I/O, shared by the client and
// its tests and fuzzer.
//
// Without a proxy the connection follows the new host. Through a proxy the
// connection stays with the proxy and the request-target stays an absolute
// URL; only that URL and the Host header move.
#pragma once

#include <string>
#include <string_view>

namespace net {

struct THttpTarget {
    std::string Host;          // where the connection goes (the proxy, through one)
    std::string Port;          // its port
    std::string HostName;      // sent in the Host header
    std::string RequestPath;   // request-target of the request line
    std::string EffectiveUrl;  // the URL being fetched, as reported
    std::string Protocol;      // protocol of this hop; it picks the transport
};

// Moves target to where a location value points. A value that names nothing
// (empty or blanks only) is ignored: false, and target is unchanged.
bool FollowLocation(std::string_view value, bool viaProxy, THttpTarget& target);

// The port a protocol uses when a URL names none: "443" for https (in any
// case), "80" for everything else.
std::string DefaultPortForProtocol(std::string_view protocol);

// protocol (or "http") + "://" + host + (":" + port when given) + path.
std::string AbsoluteTarget(const std::string& protocol, const std::string& host, const std::string& port,
                           std::string_view path);

}  // namespace net
