// Where each form of "location" value sends the next hop, directly and
// through a proxy: references resolved against the URL of the reply, values
// that cannot be relative read as a pool entry, and values that would break
// the request line.
#include <gtest/gtest.h>

#include "net/HttpLocation.h"
#include "net/Url.h"

using net::FollowLocation;
using net::THttpTarget;
using net::TLocationResult;

namespace {

// A request for srv:8080/dir/doc, directly.
THttpTarget Direct() {
    return {"srv", "8080", "srv", "/dir/doc", "srv:8080/dir/doc", ""};
}
// The same request through the proxy gate:3128.
THttpTarget Proxied() {
    return {"gate", "3128", "srv", "http://srv:8080/dir/doc", "srv:8080/dir/doc", ""};
}

struct Case {
    const char* value;
    THttpTarget after;
    const char* why;
};

void Check(bool viaProxy, const THttpTarget& before, const Case& c) {
    SCOPED_TRACE(std::string(c.value) + " (" + c.why + ")");
    THttpTarget t = before;
    EXPECT_EQ(FollowLocation(c.value, viaProxy, t), TLocationResult::lrFollowed);
    EXPECT_EQ(t.Host, c.after.Host);
    EXPECT_EQ(t.Port, c.after.Port);
    EXPECT_EQ(t.HostName, c.after.HostName);
    EXPECT_EQ(t.RequestPath, c.after.RequestPath);
    EXPECT_EQ(t.EffectiveUrl, c.after.EffectiveUrl);
    EXPECT_EQ(t.Protocol, c.after.Protocol);
}

TEST(FollowLocation, Direct) {
    const Case cases[] = {
        {"/new", {"srv", "8080", "srv", "/new", "http://srv/new", ""}, "path: same host and port"},
        {"http://other/new",
         {"other", "80", "other", "/new", "http://other/new", "http"},
         "full URL: port 80"},
        {"http://other:81", {"other", "81", "other", "/", "http://other", "http"}, "full URL without path"},
        {"https://other/x",
         {"other", "443", "other", "/x", "https://other/x", "https"},
         "protocol picks the transport"},
        {"http:/x", {"srv", "8080", "srv", "/x", "http://srv/x", "http"}, "protocol and path"},
        {"//other:81/x", {"other", "81", "other", "/x", "http://other/x", ""}, "network path"},
        {"//other", {"other", "80", "other", "/", "http://other", ""}, "network path without a path"},
        {"//other?q",
         {"other", "80", "other", "/?q", "http://other/?q", ""},
         "network path with a query only"},
        {"other/x", {"srv", "8080", "srv", "/dir/other/x", "http://srv/dir/other/x", ""}, "relative path"},
        {"./ok", {"srv", "8080", "srv", "/dir/ok", "http://srv/dir/ok", ""}, "dot segment"},
        {"../up/./a/../b", {"srv", "8080", "srv", "/up/b", "http://srv/up/b", ""}, "dot segments removed"},
        {"../../../top", {"srv", "8080", "srv", "/top", "http://srv/top", ""}, "no climbing above the root"},
        {"page.html", {"srv", "8080", "srv", "/dir/page.html", "http://srv/dir/page.html", ""}, "bare name"},
        {"?q=1", {"srv", "8080", "srv", "/dir/doc?q=1", "http://srv/dir/doc?q=1", ""}, "query only"},
        {"/a b\"<>`{|}^\\",
         {"srv", "8080", "srv", "/a%20b%22%3C%3E%60%7B%7C%7D%5E%5C",
          "http://srv/a%20b%22%3C%3E%60%7B%7C%7D%5E%5C", ""},
         "characters a target cannot hold"},
        {"/x\xe9", {"srv", "8080", "srv", "/x%E9", "http://srv/x%E9", ""}, "eight-bit byte"},
        {"/ok#part", {"srv", "8080", "srv", "/ok", "http://srv/ok", ""}, "fragment dropped"},
        {"other:82/x", {"other", "82", "other", "/x", "http://other/x", ""}, "host, port and path"},
        {"a:9", {"srv", "8080", "srv", "/a:9", "http://srv/a:9", ""}, "bare name with a colon"},
        {"other:/x",
         {"other", "80", "other", "/x", "http://other/x", ""},
         "empty port: the default, not the old"},
        {"sub/..", {"srv", "8080", "srv", "/dir/", "http://srv/dir/", ""}, "a segment and its dot-dot"},
        {"https:x/y",
         {"srv", "443", "srv", "/x/y", "https://srv/x/y", "https"},
         "other scheme, path from the root"},
    };
    for (const Case& c : cases) Check(false, Direct(), c);
}

TEST(FollowLocation, SecureHopKeepsItsProtocolWithItsPort) {
    const THttpTarget secure = {"srv", "443", "srv", "/dir/doc", "https://srv/dir/doc", "https"};
    const Case cases[] = {
        {"other:443/x",
         {"other", "443", "other", "/x", "https://other/x", "https"},
         "host and path: still TLS"},
        {"http:page.html",
         {"srv", "80", "srv", "/page.html", "http://srv/page.html", "http"},
         "plain scheme and a relative path: from the root, never a host"},
        {"x", {"srv", "443", "srv", "/dir/x", "https://srv/dir/x", "https"}, "relative: still TLS"},
        {"/new", {"srv", "443", "srv", "/new", "https://srv/new", "https"}, "path on the same host"},
        {"http:/x", {"srv", "80", "srv", "/x", "http://srv/x", "http"}, "plain protocol named: its port"},
        {"http://other/y", {"other", "80", "other", "/y", "http://other/y", "http"}, "full plain URL"},
    };
    for (const Case& c : cases) Check(false, secure, c);
    const THttpTarget proxied = {"gate", "3128", "srv", "https://srv/dir/doc", "https://srv/dir/doc",
                                 "https"};
    Check(true, proxied,
          {"other:443/x",
           {"gate", "3128", "other", "https://other:443/x", "https://other:443/x", "https"},
           "through a proxy: still TLS"});
}

TEST(FollowLocation, ThroughAProxy) {
    const Case cases[] = {
        {"/new",
         {"gate", "3128", "srv", "http://srv:8080/new", "http://srv:8080/new", ""},
         "path keeps host, port"},
        {"http://other/new",
         {"gate", "3128", "other", "http://other/new", "http://other/new", "http"},
         "full URL"},
        {"http://other:81",
         {"gate", "3128", "other", "http://other:81", "http://other:81", "http"},
         "full URL with port"},
        {"http:/x",
         {"gate", "3128", "srv", "http://srv:8080/x", "http://srv:8080/x", "http"},
         "protocol and path"},
        {"other/x",
         {"gate", "3128", "srv", "http://srv:8080/dir/other/x", "http://srv:8080/dir/other/x", ""},
         "relative path"},
        {"//other/x", {"gate", "3128", "other", "http://other/x", "http://other/x", ""}, "network path"},
        {"other:82/x",
         {"gate", "3128", "other", "http://other:82/x", "http://other:82/x", ""},
         "host, port and path"},
        {"other:/x",
         {"gate", "3128", "other", "http://other/x", "http://other/x", ""},
         "empty port: the default"},
        {"page.html",
         {"gate", "3128", "srv", "http://srv:8080/dir/page.html", "http://srv:8080/dir/page.html", ""},
         "bare name"},
    };
    for (const Case& c : cases) Check(true, Proxied(), c);
}

// Directly and through a proxy a value resolves to one URL: the host and port
// connected to (or named in the absolute target) and the request target agree.
TEST(FollowLocation, DirectAndProxyNameTheSameTarget) {
    const THttpTarget secureDirect = {"srv", "443", "srv", "/dir/doc", "https://srv/dir/doc", "https"};
    const THttpTarget secureProxied = {"gate", "3128", "srv", "https://srv/dir/doc", "https://srv/dir/doc",
                                       "https"};
    for (const char* value : {"http:page.html", "https:x/y", "other:/x", "other:82/x", "//o/p?q", "a:9",
                              "../x", "HTTP://O:81", "?q", "http:/x"}) {
        for (bool secure : {false, true}) {
            SCOPED_TRACE(std::string(value) + (secure ? " from https" : " from http"));
            THttpTarget d = secure ? secureDirect : Direct();
            THttpTarget p = secure ? secureProxied : Proxied();
            ASSERT_EQ(FollowLocation(value, false, d), TLocationResult::lrFollowed);
            ASSERT_EQ(FollowLocation(value, true, p), TLocationResult::lrFollowed);
            const net::TUrlParts u = net::SplitUrl(p.RequestPath);
            EXPECT_EQ(u.Host, d.Host);
            EXPECT_EQ(u.Port.empty() ? net::DefaultPortForProtocol(u.Protocol) : u.Port, d.Port);
            EXPECT_EQ(u.Path.empty() ? "/" : u.Path, d.RequestPath);
            EXPECT_EQ(p.Host, "gate") << "the connection stays with the proxy";
        }
    }
}

TEST(FollowLocation, HostThatIsNoneOrSchemeNotFetchedIsRefused) {
    const struct {
        const char* value;
        TLocationResult result;
    } rows[] = {
        {"//other:81:/x", TLocationResult::lrInvalid},  // host "other:81"
        {"http://a:b:80/", TLocationResult::lrInvalid},
        {"http://[::1/", TLocationResult::lrInvalid},
        {"//other:70000/x", TLocationResult::lrInvalid},
        {"//other:0/x", TLocationResult::lrInvalid},
        {"ftp://other/x", TLocationResult::lrUnsupported},
        {"FILE:///etc/passwd", TLocationResult::lrUnsupported},
    };
    for (const auto& r : rows) {
        for (bool viaProxy : {false, true}) {
            THttpTarget t = viaProxy ? Proxied() : Direct();
            EXPECT_EQ(FollowLocation(r.value, viaProxy, t), r.result) << r.value;
            EXPECT_EQ(t.RequestPath, viaProxy ? Proxied().RequestPath : "/dir/doc") << "target unchanged";
        }
    }
}

TEST(FollowLocation, ValueNamingNothingIsIgnored) {
    for (const char* value : {"", " ", "  \t"}) {
        THttpTarget t = Direct();
        EXPECT_EQ(FollowLocation(value, false, t), TLocationResult::lrIgnored) << "[" << value << "]";
        EXPECT_EQ(t.RequestPath, "/dir/doc");
        EXPECT_EQ(FollowLocation(value, true, t), TLocationResult::lrIgnored);
    }
}

TEST(FollowLocation, ControlCharactersCannotReachTheRequestLine) {
    for (const char* value : {"/ok\rX-Injected: yes", "/ok\nX: y", "/a\tb", "/a\x7f", "http://h/\x01"}) {
        THttpTarget t = Direct();
        EXPECT_EQ(FollowLocation(value, false, t), TLocationResult::lrInvalid) << value;
        EXPECT_EQ(t.RequestPath, "/dir/doc");
        EXPECT_EQ(FollowLocation(value, true, t), TLocationResult::lrInvalid) << value;
    }
}

}  // namespace
