// Where each form of "location" value sends the next hop, directly and
// through a proxy.
#include <gtest/gtest.h>

#include "net/HttpLocation.h"

using net::FollowLocation;
using net::THttpTarget;

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
    EXPECT_TRUE(FollowLocation(c.value, viaProxy, t));
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
        {"other/x", {"other", "8080", "other", "/x", "srv:8080/dir/doc", ""}, "host and path, as typed"},
        {"other:82/x", {"other", "82", "other", "/x", "srv:8080/dir/doc", ""}, "host, port and path"},
        {"page.html", {"srv", "8080", "srv", "/page.html", "http://srv/page.html", ""}, "bare name"},
        {"a:9", {"srv", "8080", "srv", "/a:9", "http://srv/a", ""}, "bare name with a colon"},
    };
    for (const Case& c : cases) Check(false, Direct(), c);
}

TEST(FollowLocation, SecureHopKeepsItsProtocolWithItsPort) {
    const THttpTarget secure = {"srv", "443", "srv", "/dir/doc", "https://srv/dir/doc", "https"};
    const Case cases[] = {
        {"other/x",
         {"other", "443", "other", "/x", "https://srv/dir/doc", "https"},
         "host and path: still TLS"},
        {"/new", {"srv", "443", "srv", "/new", "https://srv/new", "https"}, "path on the same host"},
        {"http:/x", {"srv", "80", "srv", "/x", "http://srv/x", "http"}, "plain protocol named: its port"},
        {"http://other/y", {"other", "80", "other", "/y", "http://other/y", "http"}, "full plain URL"},
    };
    for (const Case& c : cases) Check(false, secure, c);
    const THttpTarget proxied = {"gate", "3128", "srv", "https://srv/dir/doc", "https://srv/dir/doc",
                                 "https"};
    Check(true, proxied,
          {"other/x",
           {"gate", "3128", "other", "https://other/x", "https://other/x", "https"},
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
        {"other/x", {"gate", "3128", "other", "http://other/x", "http://other/x", "http"}, "host and path"},
        {"other:82/x",
         {"gate", "3128", "other", "http://other:82/x", "http://other:82/x", "http"},
         "host, port and path"},
        {"page.html",
         {"gate", "3128", "srv", "http://srv:8080/page.html", "http://srv:8080/page.html", ""},
         "bare name"},
    };
    for (const Case& c : cases) Check(true, Proxied(), c);
}

TEST(FollowLocation, ValueNamingNothingIsIgnored) {
    for (const char* value : {"", " ", "  \t"}) {
        THttpTarget t = Direct();
        EXPECT_FALSE(FollowLocation(value, false, t)) << "[" << value << "]";
        EXPECT_EQ(t.RequestPath, "/dir/doc");
        EXPECT_FALSE(FollowLocation(value, true, t));
    }
}

}  // namespace
