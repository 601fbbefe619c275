// The HTTP client over TLS against real peers started by the test: nginx
// with certificates from a CA made for the run (trusted, naming another
// host, expired, self-signed), plain HTTP redirecting to TLS and back, a
// body cut into many small records, tinyproxy carrying a CONNECT tunnel,
// and scripted peers that refuse the tunnel or answer the handshake with
// anything but TLS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <string>

#include "base/Stream.h"
#include "net/HttpProt.h"
#include "support/NginxTls.h"
#include "support/RealServers.h"
#include "support/ScriptedPeer.h"
#include "support/TestCa.h"
#include "support/TlsThreadPeer.h"
#include "support/Watchdog.h"

using namespace net;
using namespace testsupport;

namespace {

const std::string kPage = "<html><body>Sentrel over TLS</body></html>\n";

struct Outcome {
    bool raised = false;
    std::string message;
    int code = 0;
};

Outcome Fetch(THttpCli& c) {
    TWatchdog dog(20000, [&c] { c.Abort(); });
    try {
        c.Get();
    } catch (const EHttpException& e) {
        return {true, e.what(), e.FailureCode};
    }
    return {};
}

class TlsHttpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ca = new TTestCa;
        nginx = new TNginxTls;
        TCertFiles good = ca->Issue("good", TTestCa::Localhost());
        plain = nginx->AddPlainServer();
        // A filtered page has no length: its body ends with nginx's
        // close_notify and the close of the connection.
        tls = nginx->AddTlsServer(good, "    location = /tohttp { return 302 http://localhost:" +
                                            std::to_string(nginx->Port(plain)) +
                                            "/index.html; }\n"
                                            "    location = /nolength.html { sub_filter over over; "
                                            "add_header Connection close; }");
        tls12 = nginx->AddTlsServer(good, "    ssl_protocols TLSv1.2;");
        redirect = nginx->AddRedirectToTls(tls);
        wrongName = nginx->AddTlsServer(ca->Issue("wrongname", {"DNS:wrong.example"}));
        expired = nginx->AddTlsServer(ca->Issue("expired", TTestCa::Localhost(), -30, -1));
        selfSigned = nginx->AddTlsServer(ca->SelfSigned("selfsigned", TTestCa::Localhost()));
        smallRecords = nginx->AddTlsServer(good, "    ssl_buffer_size 512;");
        nginx->AddFile("/index.html", kPage);
        nginx->AddFile("/nolength.html", kPage);
        std::mt19937 rng(3);
        big.resize(2 * 1024 * 1024 + 77);
        for (char& ch : big) ch = static_cast<char>(rng());
        nginx->AddFile("/big.bin", big);
        nginx->Start();
    }
    static void TearDownTestSuite() {
        delete nginx;
        delete ca;
    }
    void SetUp() override {
        setenv("SSL_CERT_FILE", ca->CaFile().c_str(), 1);
        setenv("SSL_CERT_DIR", ca->Dir().c_str(), 1);
        cli.ReceiveStream = &body;
    }
    void TearDown() override {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
    }
    static std::string Url(int index, const std::string& path, const char* scheme = "https") {
        return std::string(scheme) + "://localhost:" + std::to_string(nginx->Port(index)) + path;
    }

    static inline TTestCa* ca = nullptr;
    static inline TNginxTls* nginx = nullptr;
    static inline int plain = 0, tls = 0, tls12 = 0, redirect = 0, wrongName = 0, expired = 0, selfSigned = 0,
                      smallRecords = 0;
    static inline std::string big;
    THttpCli cli;
    base::TMemoryStream body;
};

TEST_F(TlsHttpTest, TrustedCertificateGivesThePage) {
    for (const char* scheme : {"https", "HTTPS", "hTtPs"}) {
        SCOPED_TRACE(scheme);
        body.Clear();
        cli.URL = Url(tls, "/index.html", scheme);
        Outcome o = Fetch(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(cli.StatusCode(), 200);
        EXPECT_EQ(cli.LastRequestError(), 0);
        EXPECT_EQ(body.DataString(), kPage);
    }
}

TEST_F(TlsHttpTest, BadCertificatesFailTheRequestWithTheirReason) {
    const struct {
        const char* word;
        int* server;
        const char* host;
        const char* reason;
    } cases[] = {
        {"name mismatch", &wrongName, "localhost", "TLS: certificate verify failed: hostname mismatch"},
        {"expired", &expired, "localhost", "TLS: certificate verify failed: certificate has expired"},
        {"self-signed", &selfSigned, "localhost", "TLS: certificate verify failed: self-signed certificate"},
        {"address not named", &wrongName, "127.0.0.1", "TLS: certificate verify failed: IP address mismatch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        body.Clear();
        cli.URL =
            std::string("https://") + c.host + ":" + std::to_string(nginx->Port(*c.server)) + "/index.html";
        Outcome o = Fetch(cli);
        EXPECT_TRUE(o.raised);
        EXPECT_EQ(o.message, c.reason);
        EXPECT_EQ(o.code, 404);
        EXPECT_EQ(cli.StatusCode(), 404);
        EXPECT_EQ(cli.ReasonPhrase(), c.reason);
        EXPECT_EQ(cli.LastRequestError(), httperrTlsFailed);
        EXPECT_EQ(body.Size(), 0);
    }
}

TEST_F(TlsHttpTest, RedirectionsMoveBetweenPlainAndTls) {
    int moves = 0;
    cli.OnLocationChange = [&](base::TObject*) { ++moves; };
    cli.URL = Url(redirect, "/index.html", "http");
    Outcome o = Fetch(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(moves, 1);
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_EQ(body.DataString(), kPage);
    EXPECT_EQ(cli.EffectiveUrl(), "https://localhost/index.html");  // the port is never part of it

    // And back: the TLS server sends the request on to plain HTTP.
    body.Clear();
    moves = 0;
    cli.URL = Url(tls, "/tohttp");
    o = Fetch(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(moves, 1);
    EXPECT_EQ(body.DataString(), kPage);
    EXPECT_EQ(cli.EffectiveUrl(), "http://localhost/index.html");
}

TEST_F(TlsHttpTest, BodyInManySmallRecordsArrivesWhole) {
    for (int* server : {&tls, &smallRecords}) {
        body.Clear();
        cli.URL = Url(*server, "/big.bin");
        Outcome o = Fetch(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(cli.ReceivedCount(), static_cast<int>(big.size()));
        EXPECT_TRUE(body.DataString() == big) << "body differs from the file";
    }
}

TEST_F(TlsHttpTest, ManyRequestsInARow) {
    const struct {
        const char* path;
        int requests;
        std::int64_t length;  // -1: the body ends with the connection
    } rows[] = {
        {"/index.html", 50, static_cast<std::int64_t>(kPage.size())},
        // nginx's close_notify, its close, and often a reset that answers
        // ours: each one a whole page.
        {"/nolength.html", 100, -1},
    };
    for (const auto& r : rows) {
        for (int i = 0; i < r.requests; ++i) {
            body.Clear();
            cli.URL = Url(tls, r.path);
            Outcome o = Fetch(cli);
            ASSERT_FALSE(o.raised) << r.path << " " << i << ": " << o.message;
            ASSERT_EQ(body.DataString(), kPage) << r.path << " " << i;
            ASSERT_EQ(cli.ContentLength(), r.length) << r.path;
        }
    }
}

// A resumed TLS 1.2 handshake ends with our flight; the request behind it
// must not wait for the server's delayed acknowledgement (40 ms). The
// bound leaves room for a loaded machine while staying well below that.
TEST_F(TlsHttpTest, ResumedSessionsAnswerWithoutWaitingForAnAcknowledgement) {
    for (int i = 0; i < 3; ++i) {
        body.Clear();
        cli.URL = Url(tls12, "/index.html");
        Outcome o = Fetch(cli);
        ASSERT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), kPage);
        EXPECT_LT(cli.PhaseTimes().Seconds[TPhaseTimes::FirstByte], 0.025) << "check " << i;
    }
}

TEST_F(TlsHttpTest, ConnectionsEndWithAProperShutdown) {
    TCertFiles files = ca->Issue("peer", TTestCa::Localhost());
    const std::string ok = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + std::string(40000, 'b');
    const std::string small = "HTTP/1.0 200 OK\r\n\r\n" + std::string(4000, 's');
    const struct {
        const char* word;
        std::vector<TTlsExchange> exchanges;
        std::string body;  // empty: the request fails
        std::vector<bool> clientCloseNotify;
    } cases[] = {
        {"server says goodbye: ours answers",
         {{ok, TTlsEnding::CloseNotify}},
         std::string(40000, 'b'),
         {true}},
        {"server closes without close_notify after the body: still the end of the body",
         {{ok, TTlsEnding::NoCloseNotify}},
         std::string(40000, 'b'),
         {false}},
        // A reset that answers the client's own close_notify comes after the
        // server's: the body had ended.
        {"server says goodbye and closes at once",
         {{ok, TTlsEnding::CloseNotifyThenClose}},
         std::string(40000, 'b'),
         {false}},
        {"server says goodbye and resets at once",
         {{small, TTlsEnding::CloseNotifyThenReset}},
         std::string(4000, 's'),
         {false}},
        // (Nothing of a body yet, so that the failure leaves the stream empty.)
        {"a reset with no goodbye cuts a body without a length short",
         {{"HTTP/1.0 200 OK\r\n\r\n", TTlsEnding::ResetAfterReply}},
         "",
         {false}},
        {"error status: the client closes, properly",
         {{"HTTP/1.0 404 Not Found\r\n\r\n", TTlsEnding::WaitForClient}},
         "",
         {true}},
        {"redirection: the first connection ends properly before the next hop",
         {{"HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\nmoved", TTlsEnding::WaitForClient},
          {"HTTP/1.0 200 OK\r\n\r\nfinal", TTlsEnding::CloseNotify}},
         "final",
         {true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        body.Clear();
        TTlsThreadPeer peer(files, c.exchanges);
        cli.URL = "https://localhost:" + std::to_string(peer.Port());
        Outcome o = Fetch(cli);
        EXPECT_EQ(o.raised, c.body.empty()) << o.message;
        EXPECT_TRUE(body.DataString() == c.body) << body.Size();
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_EQ(peer.ClientCloseNotify(), c.clientCloseNotify);
    }
}

TEST_F(TlsHttpTest, RequestInsideTlsIsThePlainRequestByteForByte) {
    TTlsThreadPeer peer(ca->Issue("peer", TTestCa::Localhost()),
                        {{"HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n", TTlsEnding::WaitForClient},
                         {"HTTP/1.0 200 OK\r\n\r\n", TTlsEnding::CloseNotify}});
    cli.URL = "https://localhost:" + std::to_string(peer.Port());
    Outcome o = Fetch(cli);
    EXPECT_FALSE(o.raised) << o.message;
    ASSERT_TRUE(peer.WaitDone());
    const std::string header =
        "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
        "User-Agent: Mozilla/3.0 (compatible)\r\n"
        "Host: localhost:" +
        std::to_string(peer.Port()) + "\r\n\r\n";
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[0], "GET / HTTP/1.0\r\n" + header);
    EXPECT_EQ(peer.Requests()[1], "GET /next HTTP/1.0\r\n" + header);
}

TEST_F(TlsHttpTest, PostBodyGoesThroughTlsInChunks) {
    TTlsThreadPeer peer(ca->Issue("peer", TTestCa::Localhost()),
                        {{"HTTP/1.0 200 OK\r\n\r\nposted", TTlsEnding::CloseNotify}});
    std::string data;
    for (int i = 0; data.size() < 30000; ++i) data += "field" + std::to_string(i) + "=x&";
    base::TMemoryStream post;
    post.Write(data.data(), static_cast<std::int64_t>(data.size()));
    post.SetPosition(0);
    cli.PostStream = &post;
    cli.URL = "https://localhost:" + std::to_string(peer.Port()) + "/form";
    TWatchdog dog(20000, [this] { cli.Abort(); });
    EXPECT_NO_THROW(cli.Post());
    EXPECT_EQ(body.DataString(), "posted");
    EXPECT_EQ(cli.SentCount(), static_cast<int>(data.size()));
    ASSERT_TRUE(peer.WaitDone());
    ASSERT_EQ(peer.Requests().size(), 1u);
    const std::string request = peer.Requests()[0];
    EXPECT_EQ(request.rfind("POST /form HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), data);
}

TEST_F(TlsHttpTest, AbortDuringTheBodyEndsAtOnce) {
    cli.URL = Url(tls, "/big.bin");
    cli.OnDocData = [this](base::TObject*, const char*, int) { cli.Abort(); };
    Outcome o = Fetch(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Connection aborted on request");
    EXPECT_EQ(cli.LastRequestError(), httperrAborted);
    EXPECT_LT(body.Size(), static_cast<std::int64_t>(big.size()));
    // The client is ready for the next request at once.
    cli.OnDocData = nullptr;
    body.Clear();
    cli.URL = Url(tls, "/index.html");
    o = Fetch(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), kPage);
}

TEST_F(TlsHttpTest, TinyproxyCarriesTheTunnel) {
    if (!TTinyproxy::Available()) GTEST_SKIP() << "tinyproxy is not installed";
    TTinyproxy proxy;
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    cli.Proxy = proxy.HostPort();
    cli.URL = Url(tls, "/index.html");
    Outcome o = Fetch(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_EQ(body.DataString(), kPage);
    // Every phase took its time, and together they are the whole request.
    auto phasesAddUp = [](const TPhaseTimes& t) {
        double sum = 0;
        for (double s : t.Seconds) sum += s;
        EXPECT_NEAR(sum, t.Total, 0.001);
        EXPECT_GT(t.Total, 0);
    };
    const TPhaseTimes& t = cli.PhaseTimes();
    for (int p : {TPhaseTimes::Lookup, TPhaseTimes::Connect, TPhaseTimes::Proxy, TPhaseTimes::Tls,
                  TPhaseTimes::FirstByte})
        EXPECT_GT(t.Seconds[p], 0) << p;
    phasesAddUp(t);
    EXPECT_EQ(t.Hops, 1);
    EXPECT_EQ(t.FinalStatus, 200);
    EXPECT_EQ(t.BodyBytes, static_cast<std::int64_t>(kPage.size()));
    EXPECT_TRUE(std::regex_match(PhaseTimesLine(t),
                                 std::regex(R"(lookup \d+\.\d ms, connect \d+\.\d ms, proxy \d+\.\d ms, )"
                                            R"(tls \d+\.\d ms, first byte \d+\.\d ms, total \d+\.\d ms, )"
                                            R"(0 redirects, 43 bytes, status 200)")))
        << PhaseTimesLine(t);

    // Plain HTTP to TLS through the same proxy: the second hop tunnels.
    body.Clear();
    cli.URL = Url(redirect, "/index.html", "http");
    o = Fetch(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), kPage);
    phasesAddUp(t);
    EXPECT_EQ(t.Hops, 2);
    EXPECT_EQ(t.FinalUrl, Url(tls, "/index.html"));
    EXPECT_EQ(t.BodyBytes, static_cast<std::int64_t>(kPage.size()))
        << "the redirect's own body is not counted";

    // Verification is end to end: the proxy does not vouch for the server.
    cli.URL = Url(wrongName, "/index.html");
    o = Fetch(cli);
    EXPECT_EQ(o.message, "TLS: certificate verify failed: hostname mismatch");
}

TEST_F(TlsHttpTest, RefusedTunnelFailsWithTheProxysStatus) {
    TScriptedPeer proxy({Answer("HTTP/1.0 407 Proxy Authentication Required\r\n\r\n")});
    cli.Proxy = proxy.HostPort();
    cli.ProxyUsername = "u";
    cli.ProxyPassword = "p";
    cli.URL = "https://localhost/index.html";  // no port: 443
    Outcome o = Fetch(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Proxy Authentication Required");
    EXPECT_EQ(o.code, 407);
    EXPECT_EQ(cli.StatusCode(), 407);
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0],
              "CONNECT localhost:443 HTTP/1.0\r\nProxy-Authorization: Basic dTpw\r\n\r\n");
}

TEST_F(TlsHttpTest, PeersThatDoNotSpeakTlsFailCleanly) {
    std::mt19937 rng(5);
    std::string noise(3000, '\0');
    for (char& ch : noise) ch = static_cast<char>(rng());
    const struct {
        const char* word;
        TPeerScript script;
        const char* reason;  // empty: any "TLS: " reason
    } cases[] = {
        {"plain HTTP reply",
         {SendBytes("HTTP/1.0 200 OK\r\n\r\nhello"), WaitForClose(5000)},
         "TLS: wrong version number"},
        {"random bytes", {SendBytes(noise), WaitForClose(5000)}, ""},
        {"handshake header then noise",
         {SendBytes("\x16\x03\x03\x00\x40" + noise.substr(0, 64)), WaitForClose(5000)},
         ""},
        {"closes at once", {CloseConn()}, "TLS: unexpected eof while reading"},
        {"resets at once", {ResetConn()}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        TScriptedPeer peer({c.script});
        cli.URL = "https://" + peer.HostPort() + "/";
        Outcome o = Fetch(cli);
        EXPECT_TRUE(o.raised);
        EXPECT_EQ(cli.StatusCode(), 404);
        EXPECT_NE(cli.LastRequestError(), 0);
        if (*c.reason)
            EXPECT_EQ(o.message, c.reason);
        else
            EXPECT_FALSE(o.message.empty());
    }
}

TEST_F(TlsHttpTest, PeerThatNeverAnswersTheHandshakeTimesOut) {
    TScriptedPeer peer({{WaitForClose(10000)}});
    cli.Timeout = 1;
    cli.URL = "https://" + peer.HostPort() + "/";
    Outcome o = Fetch(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(cli.LastRequestError(), 10060);
}

// Where a "location" value sends an https hop, and an http hop to https.
TEST(HttpsLocation, EachHopTakesItsProtocolsPort) {
    const THttpTarget secure = {"srv", "443", "srv", "/dir/doc", "https://srv/dir/doc", "https"};
    const THttpTarget plain = {"srv", "8080", "srv", "/dir/doc", "http://srv:8080/dir/doc", "http"};
    const struct {
        const char* value;
        THttpTarget before;
        THttpTarget after;
        const char* why;
    } cases[] = {
        {"https://other/x",
         plain,
         {"other", "443", "other", "/x", "https://other/x", "https"},
         "default port 443"},
        {"HTTPS://other/x",
         plain,
         {"other", "443", "other", "/x", "HTTPS://other/x", "HTTPS"},
         "in any case"},
        {"https://other:8443/x",
         plain,
         {"other", "8443", "other", "/x", "https://other/x", "https"},
         "port named"},
        {"http://other/x",
         secure,
         {"other", "80", "other", "/x", "http://other/x", "http"},
         "back to http: port 80"},
        {"/new", secure, {"srv", "443", "srv", "/new", "https://srv/new", "https"}, "path stays on https"},
        {"http:/x", secure, {"srv", "80", "srv", "/x", "http://srv/x", "http"}, "same host, plain port"},
        {"page.html",
         secure,
         {"srv", "443", "srv", "/dir/page.html", "https://srv/dir/page.html", "https"},
         "relative name"},
        {"/new", plain, {"srv", "8080", "srv", "/new", "http://srv/new", "http"}, "plain stays as it was"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " (" + c.why + ")");
        THttpTarget t = c.before;
        EXPECT_EQ(FollowLocation(c.value, false, t), net::TLocationResult::lrFollowed);
        EXPECT_EQ(t.Host, c.after.Host);
        EXPECT_EQ(t.Port, c.after.Port);
        EXPECT_EQ(t.HostName, c.after.HostName);
        EXPECT_EQ(t.RequestPath, c.after.RequestPath);
        EXPECT_EQ(t.EffectiveUrl, c.after.EffectiveUrl);
        EXPECT_EQ(t.Protocol, c.after.Protocol);
    }
}

}  // namespace
