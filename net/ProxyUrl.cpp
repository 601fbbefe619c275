#include "net/ProxyUrl.h"

#include "base/Strings.h"
#include "net/HttpProt.h"
#include "net/Url.h"

namespace net {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(const std::string& s) {
    std::string out;
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

}  // namespace

bool ParseProxyUrl(const std::string& Text, TProxyUrl& Out, std::string& Error) {
    Out = TProxyUrl{};
    const std::string text = base::Trim(Text);
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
        Error = "unsupported proxy scheme \"" + scheme + "\" (http, socks4, socks4a, socks5 or socks5h)";
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
    if (!u.Port.empty()) {
        auto n = base::TryStrToInt(u.Port);
        if (!n || *n < 1 || *n > 65535 || u.Port.find_first_not_of("0123456789") != std::string::npos) {
            Error = "the proxy's port \"" + u.Port + "\" is no port number";
            return false;
        }
    }
    Out.Host = u.Host;
    Out.Port = u.Port;
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
