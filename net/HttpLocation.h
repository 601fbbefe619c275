// Where a request goes, and where a "location" header sends it next. The
// target is the address of one hop: the host and port the connection goes
// to, the Host header, the request-target of the request line, the URL the
// client reports as effective, and the protocol that picks the transport.
// FollowLocation is plain text work with no I/O, shared by the client and
// its tests and fuzzer.
//
// A value is a URI reference resolved against the URL of the reply that
// carried it, as browsers do: absolute ("http://host/x"), network-path
// ("//host/x"), absolute-path ("/x") and relative paths ("x", "./x", "../x",
// with dot segments removed). A first segment with a colon that names
// neither http nor https nor a "scheme://" cannot be a relative path; it is
// read as a pool entry is written ("host:81/x", "name:9"). Control
// characters make the value invalid; characters that cannot stand in a
// request target are percent-encoded, and a "#fragment" is dropped.
//
// Without a proxy the connection follows the new host. Through a proxy the
// connection stays with the proxy and the request-target stays an absolute
// URL; only that URL and the Host header move.
#pragma once

#include <cstdint>
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

enum class TLocationResult : std::uint8_t {
    lrIgnored,      // the value names nothing (empty or blanks only): target unchanged
    lrFollowed,     // target now names where the value points
    lrInvalid,      // control characters, or a host that is none: target unchanged
    lrUnsupported,  // a scheme other than http and https: target unchanged
};

// Moves target to where a location value points.
TLocationResult FollowLocation(std::string_view value, bool viaProxy, THttpTarget& target);

// The origin a target's request goes to: protocol, host and port, in lower
// case with the protocol's default port filled in ("http://srv:80").
std::string TargetOrigin(const THttpTarget& target, bool viaProxy);

// The port a protocol uses when a URL names none: "443" for https (in any
// case), "80" for everything else.
std::string DefaultPortForProtocol(std::string_view protocol);

// protocol (or "http") + "://" + host + (":" + port when given) + path.
std::string AbsoluteTarget(const std::string& protocol, const std::string& host, const std::string& port,
                           std::string_view path);

}  // namespace net
