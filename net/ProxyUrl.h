// The proxy a user names as one URL (sentrel-get's -x, the monitor's
// `proxy` key), with curl's meaning of each form:
//   host[:port], http://host[:port]   an HTTP proxy
//   socks4://host[:port]              SOCKS 4; the server's name is looked up here
//   socks4a://host[:port]             SOCKS 4A; the proxy looks the name up
//   socks5://host[:port]              SOCKS 5; the server's name is looked up here
//   socks5h://host[:port]             SOCKS 5; the proxy looks the name up
// "user:password@" before the host gives the proxy's credentials (with %XX
// escapes decoded); a SOCKS proxy's port is 1080 unless given, an HTTP
// proxy's is the client's ProxyPort. An IPv6 proxy is written in brackets.
// Parsing does no I/O; applying sets the client's properties and nothing else.
#pragma once

#include <string>

namespace net {

class THttpCli;

enum class TProxyKind { None, Http, Socks4, Socks4A, Socks5, Socks5h };

struct TProxyUrl {
    TProxyKind Kind = TProxyKind::None;
    std::string Host;  // as written, brackets included; a name in another script in its ASCII form
    std::string Port;  // empty: the default of the kind
    std::string User;
    std::string Password;
};

// An empty text is no proxy. Returns false with the reason in Error when the
// text is no proxy URL (another scheme, no host, a port that is no number).
bool ParseProxyUrl(const std::string& Text, TProxyUrl& Out, std::string& Error);

// Makes every request of the client go through the proxy (and only that
// one: a SOCKS proxy clears the HTTP one and the other way round).
void ApplyProxyUrl(const TProxyUrl& Proxy, THttpCli& Http);

}  // namespace net
