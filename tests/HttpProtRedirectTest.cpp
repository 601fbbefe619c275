// The HTTP client's redirections against scripted servers on 127.0.0.1:
// where each Location form sends the next hop, what a hop keeps and what it
// starts afresh, and the bounds that hold per request and per hop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HttpCliFixture.h"
#include "support/ScriptedPeer.h"

using namespace httpclitest;

namespace {

TEST_F(HttpCliTest, RedirectionToAnotherServerDeliversOnlyTheFinalBody) {
    TScriptedPeer second({Answer("HTTP/1.0 200 OK\r\n\r\nfinal")});
    TScriptedPeer first({Answer("HTTP/1.0 302 Found\r\nContent-Type: text/plain\r\nLocation: http://" +
                                second.HostPort() + "/new\r\n\r\nredirect body")});
    cli.URL = first.HostPort() + "/old";
    int moves = 0;
    cli.OnLocationChange = [&](base::TObject*) { ++moves; };
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(moves, 1);
    EXPECT_EQ(body.DataString(), "final");
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_EQ(cli.ContentType(), "") << "nothing of the redirecting reply's header carries over";
    EXPECT_EQ(cli.EffectiveUrl(), "http://127.0.0.1/new") << "the port is not part of it";
    ASSERT_EQ(second.Requests().size(), 1u);
    EXPECT_EQ(second.Requests()[0].substr(0, 20), "GET /new HTTP/1.0\r\nA");
    EXPECT_NE(second.Requests()[0].find("Host: " + second.HostPort() + "\r\n"), std::string::npos);
    EXPECT_EQ(cli.ResponseHeaderLines().size(), 4u) << "the lines of both hops";
}

TEST_F(HttpCliTest, LocationFormsAndTheirTargets) {
    struct {
        const char* location;
        const char* request;
        const char* effective;  // "{URL}": unchanged
        const char* why;
    } cases[] = {
        {"/new", "GET /new HTTP/1.0", "http://127.0.0.1/new", "absolute path keeps the host"},
        {"http://127.0.0.1:{PORT}", "GET / HTTP/1.0", "http://127.0.0.1",
         "full URL without a path asks for /"},
        {"http:/x", "GET /x HTTP/1.0", "http://127.0.0.1/x", "protocol and path only"},
        {"127.0.0.1:{PORT}/y", "GET /y HTTP/1.0", "http://127.0.0.1/y",
         "host and path, as a pool entry is written"},
        {"page.html", "GET /dir/page.html HTTP/1.0", "http://127.0.0.1/dir/page.html", "relative name"},
        {"./ok", "GET /dir/ok HTTP/1.0", "http://127.0.0.1/dir/ok", "dot segment"},
        {"sub/x", "GET /dir/sub/x HTTP/1.0", "http://127.0.0.1/dir/sub/x", "relative path"},
        {"//127.0.0.1:{PORT}/z", "GET /z HTTP/1.0", "http://127.0.0.1/z", "network path"},
        {"/a b#frag", "GET /a%20b HTTP/1.0", "http://127.0.0.1/a%20b", "space encoded, fragment not sent"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        TScriptedPeer peer({Answer(std::string("HTTP/1.0 301 Moved\r\nLocation: ") + c.location + "\r\n\r\n"),
                            Answer("HTTP/1.0 200 OK\r\n\r\nthere")});
        cli.URL = peer.HostPort() + "/dir/doc";
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), "there");
        ASSERT_EQ(peer.Requests().size(), 2u);
        const std::string second = peer.Requests()[1];
        EXPECT_EQ(second.substr(0, second.find("\r\n")), c.request);
        EXPECT_NE(second.find("Host: " + peer.HostPort() + "\r\n"), std::string::npos);
        EXPECT_EQ(cli.EffectiveUrl(),
                  std::string(c.effective) == "{URL}" ? cli.URL : std::string(c.effective));
    }
}

TEST_F(HttpCliTest, SuccessfulReplyWithLocationIsRedirectedToo) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\nLocation: /moved\r\n\r\nfirst body"),
                        Answer("HTTP/1.0 200 OK\r\n\r\nsecond body")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "second body");
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[1].substr(0, 21), "GET /moved HTTP/1.0\r\n");
}

TEST_F(HttpCliTest, EmptyLocationIsIgnored) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\nLocation: \r\nLocation:\r\n\r\nhere")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "here");
    EXPECT_EQ(peer.Connections(), 1);
}

TEST_F(HttpCliTest, ErrorReplyWithLocationIsNotFollowed) {
    TScriptedPeer peer({Answer("HTTP/1.0 404 Not Found\r\nLocation: /else\r\n\r\n")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_EQ(o.code, 404);
    EXPECT_EQ(peer.Requests().size(), 1u);
}

TEST_F(HttpCliTest, LocationWithControlCharactersIsNotFollowed) {
    TScriptedPeer peer({Answer("HTTP/1.0 302 Found\r\nLocation: /ok\rX-Injected: yes\r\n\r\n")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Invalid redirection");
    EXPECT_EQ(cli.LastRequestError(), httperrInvalidRedirection);
    EXPECT_EQ(peer.Requests().size(), 1u);
}

TEST_F(HttpCliTest, CredentialsStayWithTheirOrigin) {
    TScriptedPeer second({Answer("HTTP/1.0 200 OK\r\n\r\nsecond")});
    TScriptedPeer first(
        {Answer("HTTP/1.0 302 Found\r\nLocation: http://" + second.HostPort() + "/\r\n\r\n")});
    const std::string auth = "Authorization: Basic dXNlcjpwdw==\r\n";  // user:pw
    // From the URL: to its own host only, and not to the next URL either.
    cli.URL = "http://user:pw@" + first.HostPort() + "/";
    EXPECT_FALSE(RunGet(cli).raised);
    cli.URL = second.HostPort();
    EXPECT_FALSE(RunGet(cli).raised);
    // Set by the caller: to the first host of each request, not across a redirect.
    cli.Username = "user";
    cli.Password = "pw";
    cli.URL = first.HostPort();
    EXPECT_FALSE(RunGet(cli).raised);
    ASSERT_EQ(first.Requests().size(), 2u);
    ASSERT_EQ(second.Requests().size(), 3u);
    EXPECT_NE(first.Requests()[0].find(auth), std::string::npos);
    EXPECT_EQ(second.Requests()[0].find("Authorization"), std::string::npos) << "redirected to another port";
    EXPECT_EQ(second.Requests()[1].find("Authorization"), std::string::npos) << "the next URL";
    EXPECT_NE(first.Requests()[1].find(auth), std::string::npos);
    EXPECT_EQ(second.Requests()[2].find("Authorization"), std::string::npos) << "the caller's, redirected";
}

TEST_F(HttpCliTest, RedirectionLoopEndsAfterTenHops) {
    TScriptedPeer peer({Answer("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n")});
    cli.URL = peer.HostPort();
    int moves = 0;
    cli.OnLocationChange = [&](base::TObject*) { ++moves; };
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Too many redirections");
    EXPECT_EQ(moves, MaxRedirections);
    EXPECT_EQ(peer.Requests().size(), 11u);
    EXPECT_EQ(cli.State(), hsIdle);
}

// Everything a reply header sets belongs to its hop: the final reply is read
// by its own header alone, and the next request is shaped by nothing the
// redirecting reply said.
TEST_F(HttpCliTest, NothingOfARedirectingReplyReachesTheNextHop) {
    const struct {
        const char* moved;  // the redirecting reply's header lines
        const char* why;
    } rows[] = {
        {"Content-Length: 5\r\n", "its length would cut the final body to 5 bytes"},
        {"Content-Length: 0\r\n", "its length would make the final body empty"},
        {"Content-Range: bytes 100-199/1000\r\n", "its range would be asked of the next hop"},
        {"Content-Type: text/plain\r\nAccept-Ranges: bytes\r\n", "its type and ranges"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        TScriptedPeer peer(
            {Answer(std::string("HTTP/1.0 301 Moved\r\n") + r.moved + "Location: /final\r\n\r\n"),
             Answer("HTTP/1.0 200 Fine\r\n\r\nthe whole final body")});
        cli.URL = peer.HostPort();
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), "the whole final body");
        EXPECT_EQ(cli.ContentLength(), -1);
        EXPECT_EQ(cli.ContentType(), "");
        EXPECT_EQ(cli.AcceptRanges(), "");
        EXPECT_EQ(cli.ReasonPhrase(), "Fine");
        EXPECT_EQ(cli.ContentRangeBegin + cli.ContentRangeEnd, "");
        ASSERT_EQ(peer.Requests().size(), 2u);
        EXPECT_EQ(peer.Requests()[1].find("Range:"), std::string::npos);
    }
}

// The redirection count is the request's: a client that follows one hop
// per request never runs into the limit, however often it is used.
TEST_F(HttpCliTest, RedirectCountStartsAgainWithEveryRequest) {
    std::vector<TPeerScript> scripts;
    for (int i = 0; i < MaxRedirections + 1; ++i) {
        scripts.push_back(Answer("HTTP/1.0 302 Found\r\nLocation: /there\r\n\r\n"));
        scripts.push_back(Answer("HTTP/1.0 200 OK\r\n\r\nok"));
    }
    TScriptedPeer peer(scripts);
    cli.URL = peer.HostPort() + "/start";
    for (int i = 0; i < MaxRedirections + 1; ++i) {
        SCOPED_TRACE(i);
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(cli.RedirectCount(), 1);
        if (o.raised) break;
    }
}

// The bound on a header section is per hop: a redirecting reply and the
// final one may each come close to it.
TEST_F(HttpCliTest, HeaderBoundIsPerHop) {
    std::string lines;
    while (lines.size() < 150 * 1024) lines += "X-Filler: " + std::string(90, 'f') + "\r\n";
    TScriptedPeer peer({Answer("HTTP/1.0 302 Found\r\nLocation: /final\r\n" + lines + "\r\n"),
                        Answer("HTTP/1.0 200 OK\r\n" + lines + "\r\nbody")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "body");
}

// Schemes the client does not fetch fail before any connection, and a value
// naming a host with a colon outside brackets is no redirection.
TEST_F(HttpCliTest, LocationThatCannotBeFetchedFailsTheRequest) {
    const struct {
        const char* location;
        const char* failure;
        int error;
    } rows[] = {
        {"ftp://127.0.0.1:{PORT}/x", "Unsupported protocol", httperrUnsupportedProtocol},
        {"//127.0.0.1:{PORT}:/x", "Invalid redirection", httperrInvalidRedirection},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.location);
        TScriptedPeer peer(
            {Answer(std::string("HTTP/1.0 302 Found\r\nLocation: ") + r.location + "\r\n\r\n")});
        cli.URL = peer.HostPort();
        Outcome o = RunGet(cli);
        EXPECT_TRUE(o.raised);
        EXPECT_EQ(o.message, r.failure);
        EXPECT_EQ(cli.LastRequestError(), r.error);
        EXPECT_EQ(peer.Connections(), 1);
    }
}

TEST_F(HttpCliTest, SecureLocationIsFetchedOverTls) {
    // The second connection gets a plain reply where a TLS handshake was
    // due: the hop fails with TLS's reason instead of reading it as HTTP.
    TScriptedPeer peer({Answer("HTTP/1.0 301 Moved\r\nLocation: https://127.0.0.1:{PORT}/\r\n\r\n"),
                        {SendBytes("HTTP/1.0 200 OK\r\n\r\nplain"), WaitForClose(5000)}});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "TLS: wrong version number");
    EXPECT_EQ(cli.LastRequestError(), httperrTlsFailed);
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_EQ(peer.Requests().size(), 1u) << "no plain request to a secure address";
}

}  // namespace
