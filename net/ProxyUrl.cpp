#include "net/ProxyUrl.h"

#include <algorithm>
#include <cctype>

#include "base/Strings.h"
#include "net/HttpProt.h"
#include "net/Idn.h"
#include "net/Url.h"

namespace net {

namespace {

// Whether a scheme as written can be shown in a reason: a scheme name, not
// something that holds user information ("user:secret://").
bool ShowableScheme(const std::string& scheme) {
    if (scheme.empty()) return false;
    for (char c : scheme)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

}  // namespace

// No reason ever quotes what could be the user information: "user:secret"
// without an "@" splits as host "user" and port "secret".
bool ParseProxyUrl(const std::string& Text, TProxyUrl& Out, std::string& Error) {
    Out = TProxyUrl{};
    // Line ends and tabs around the text are a setting's whitespace; any
    // other control character (a NUL at the end included) is refused.
    const auto control = [](char ch, bool edge) {
        const auto c = static_cast<unsigned char>(ch);
        if (edge && (c == '\t' || c == '\r' || c == '\n')) return false;
        return c < 0x20 || c == 0x7F;
    };
    const std::string text = base::Trim(Text);
    if (std::any_of(Text.begin(), Text.end(), [&](char c) { return control(c, true); }) ||
        std::any_of(text.begin(), text.end(), [&](char c) { return control(c, false); })) {
        Error = "the proxy URL holds a control character";
        return false;
    }
    if (text.empty()) return true;
    std::string scheme = "http";
    std::string rest = text;
    if (std::size_t i = text.find("://"); i != std::string::npos) {
        scheme = base::LowerCase(text.substr(0, i));
        rest = text.substr(i + 3);
    }
    if (scheme == "http")
        Out.Kind = TProxyKind::Http;
    else if (scheme == "socks4")
        Out.Kind = TProxyKind::Socks4;
    else if (scheme == "socks4a")
        Out.Kind = TProxyKind::Socks4A;
    else if (scheme == "socks5")
        Out.Kind = TProxyKind::Socks5;
    else if (scheme == "socks5h")
        Out.Kind = TProxyKind::Socks5h;
    else {
        Error = "unsupported proxy scheme " +
                (ShowableScheme(scheme) ? "\"" + scheme + "\" " : std::string()) +
                "(http, socks4, socks4a, socks5 or socks5h)";
        return false;
    }
    // A trailing slash (curl allows one) is no part of the address.
    if (std::size_t slash = rest.find('/'); slash != std::string::npos) {
        if (rest.find_first_not_of('/', slash) != std::string::npos) {
            Error = "a proxy URL has no path";
            return false;
        }
        rest.erase(slash);
    }
    TUrlParts u = SplitUrl("http://" + rest);
    if (u.Host.empty()) {
        Error = "the proxy URL names no host";
        return false;
    }
    // "::", "a:b:80" or "127.0.0.1:8080:" leave a colon in the host; a blank
    // cannot stand in one either.
    if (!IsValidHost(u.Host)) {
        Error = "the proxy URL's host is no host name (an IPv6 address goes in brackets)";
        return false;
    }
    // A proxy named in another script is reached by its ASCII form.
    std::string host;
    if (!ToAsciiHost(u.Host, host)) {
        Error = kInvalidInternationalHost;
        return false;
    }
    std::string port;
    if (!u.Port.empty()) {
        auto n = base::TryStrToInt(u.Port);
        if (!n || *n < 1 || *n > 65535 || u.Port.find_first_not_of("0123456789") != std::string::npos) {
            Error = "the proxy's port is no port number (1 to 65535)";
            return false;
        }
        port = std::to_string(*n);  // leading zeros go: "0080" is port 80
    }
    Out.Host = host;
    Out.Port = port;
    Out.User = PercentDecode(u.User);
    Out.Password = PercentDecode(u.Password);
    return true;
}

void ApplyProxyUrl(const TProxyUrl& Proxy, THttpCli& Http) {
    Http.Proxy.clear();
    Http.ProxyUsername.clear();
    Http.ProxyPassword.clear();
    Http.SocksServer.clear();
    Http.SocksUsercode.clear();
    Http.SocksPassword.clear();
    Http.SocksAuthentication = socksNoAuthentication;
    Http.SocksRemoteLookup = false;
    switch (Proxy.Kind) {
        case TProxyKind::None: return;
        case TProxyKind::Http:
            Http.Proxy = Proxy.Host;
            if (!Proxy.Port.empty()) Http.ProxyPort = Proxy.Port;
            Http.ProxyUsername = Proxy.User;
            Http.ProxyPassword = Proxy.Password;
            return;
        case TProxyKind::Socks4:
        case TProxyKind::Socks4A:
        case TProxyKind::Socks5:
        case TProxyKind::Socks5h: break;
    }
    // The socket takes an IPv6 proxy's address without its brackets.
    Http.SocksServer = WithoutBrackets(Proxy.Host);
    Http.SocksPort = Proxy.Port.empty() ? "1080" : Proxy.Port;
    Http.SocksLevel = Proxy.Kind == TProxyKind::Socks4 ? "4" : Proxy.Kind == TProxyKind::Socks4A ? "4A" : "5";
    Http.SocksRemoteLookup = Proxy.Kind == TProxyKind::Socks5h;
    // SOCKS 4 carries a user id only; SOCKS 5 authenticates with both.
    Http.SocksUsercode = Proxy.User;
    Http.SocksPassword = Proxy.Password;
    if (Proxy.Kind >= TProxyKind::Socks5 && !Proxy.User.empty())
        Http.SocksAuthentication = socksAuthenticateUsercode;
}

}  // namespace net
