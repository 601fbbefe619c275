// The HTTP client against scripted servers on 127.0.0.1: the exact request
// bytes, replies split at every byte, error replies, early closes, resets,
// redirections, malformed headers, and the failures that must end a request
// instead of leaving it hanging.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "net/HttpProt.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "support/ScriptedPeer.h"
#include "support/Watchdog.h"

using namespace net;
using namespace testsupport;

namespace {

const char kAccept[] = "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";
const char kAgent[] = "User-Agent: Mozilla/3.0 (compatible)\r\n";

struct Outcome {
    bool raised = false;
    std::string message;
    int code = 0;
};

// Runs a blocking GET under a watchdog that aborts it.
Outcome RunGet(THttpCli& c, int watchdogMs = 10000) {
    TWatchdog dog(watchdogMs, [&c] { c.Abort(); });
    try {
        c.Get();
    } catch (const EHttpException& e) {
        return {true, e.what(), e.FailureCode};
    } catch (const std::exception& e) {
        return {true, e.what(), -1};
    }
    return {};
}

// Runs the loop until pred holds, at most ms.
template <typename Pred>
void PumpUntil(Pred pred, int ms = 5000) {
    TWatchdog dog(ms, [] {});
    while (!pred() && !dog.Fired()) {
        if (!platform::ProcessMessages()) platform::WaitMessage(50);
    }
}

struct HttpCliTest : ::testing::Test {
    THttpCli cli;
    base::TMemoryStream body;
    HttpCliTest() { cli.ReceiveStream = &body; }
};

// --- text helpers --------------------------------------------------------------

TEST(HttpText, Base64) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("u:p"), "dTpw");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(Base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(HttpText, Rfc1123Date) {
    const double t = 35800 + (8 * 3600 + 9 * 60 + 10) / 86400.0;  // 1998-01-05 08:09:10
    EXPECT_EQ(Rfc1123Date(t), "Mon, 05 Jan 1998 08:09:10");
    EXPECT_EQ(Rfc1123Date(2), "Mon, 01 Jan 1900 00:00:00");
    EXPECT_EQ(Rfc1123Date(36585.5), "Tue, 29 Feb 2000 12:00:00");
}

TEST(HttpText, ReplaceExtension) {
    EXPECT_EQ(ReplaceExtension("setup.exe", "htm"), "setup.htm");
    EXPECT_EQ(ReplaceExtension("a.b.c", "x"), "a.b.x");
    EXPECT_EQ(ReplaceExtension("plain", "htm"), "plain.htm");
}

// --- the request ---------------------------------------------------------------

TEST_F(HttpCliTest, BareHostSendsExactlyFiveLines) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\nhi")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0],
              std::string("GET / HTTP/1.0\r\n") + kAccept + kAgent + "Host: " + peer.HostPort() + "\r\n\r\n");
    EXPECT_EQ(body.DataString(), "hi");
    EXPECT_EQ(cli.DocumentName(), "document.htm");
}

TEST_F(HttpCliTest, PathAndPortWithThePortInTheHostHeader) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    const std::string host = "localhost:" + std::to_string(peer.Port());
    cli.URL = host + "/status.html";
    RunGet(cli);
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0],
              std::string("GET /status.html HTTP/1.0\r\n") + kAccept + kAgent + "Host: " + host + "\r\n\r\n");
    EXPECT_EQ(cli.DocumentName(), "status.html");
}

TEST_F(HttpCliTest, EveryOptionalHeaderInItsPlace) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\nContent-Range: bytes 100-199/1000\r\n\r\n"),
                        Answer("HTTP/1.0 200 OK\r\n\r\n")});
    cli.URL = "http://u:p@" + peer.HostPort() + "/a/b.html?x=1";
    cli.Sender = "me@x";
    cli.Reference = "http://ref/";
    cli.NoCache = true;
    cli.Cookie = "c=1";
    cli.ModifiedSince = 35800 + (8 * 3600 + 9 * 60 + 10) / 86400.0;
    std::vector<std::string> commands;
    cli.OnCommand = [&](base::TObject*, const std::string& s) { commands.push_back(s); };
    RunGet(cli);
    EXPECT_EQ(cli.DocumentName(), "b.html");
    EXPECT_EQ(cli.Username, "u");
    EXPECT_EQ(cli.Password, "p");
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0], std::string("GET /a/b.html?x=1 HTTP/1.0\r\nFrom: me@x\r\n") + kAccept +
                                      "Referer: http://ref/\r\n" + kAgent + "Host: " + peer.HostPort() +
                                      "\r\nPragma: no-cache\r\n" +
                                      "If-Modified-Since: Mon, 05 Jan 1998 08:09:10 GMT\r\n" +
                                      "Authorization: Basic dTpw\r\nCookie: c=1\r\n\r\n");
    EXPECT_EQ(commands.size(), 11u);
    EXPECT_EQ(commands.back(), "");
    EXPECT_EQ(cli.ContentRangeBegin, "100");
    EXPECT_EQ(cli.ContentRangeEnd, "199");

    // The same URL brings its credentials again, and the received range is
    // asked for next time.
    cli.Sender = cli.Reference = cli.Cookie = "";
    cli.NoCache = false;
    cli.ModifiedSince = 0;
    RunGet(cli);
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[1], std::string("GET /a/b.html?x=1 HTTP/1.0\r\n") + kAccept + kAgent +
                                      "Host: " + peer.HostPort() +
                                      "\r\nAuthorization: Basic dTpw\r\nRange: bytes=100-199\r\n\r\n");
    EXPECT_EQ(cli.ContentRangeBegin, "");
}

TEST_F(HttpCliTest, PostSendsHeaderAndBody) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\ndone")});
    base::TMemoryStream post;
    std::string data(20000, 'p');
    post.WriteString(data);
    post.SetPosition(0);
    cli.PostStream = &post;
    cli.URL = peer.HostPort() + "/form";
    int sendEnds = 0;
    cli.OnSendEnd = [&](base::TObject*) { ++sendEnds; };
    TWatchdog dog(10000, [this] { cli.Abort(); });
    cli.Post();
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0], std::string("POST /form HTTP/1.0\r\n") + kAccept +
                                      "Content-Type: application/x-www-form-urlencoded\r\n" + kAgent +
                                      "Host: " + peer.HostPort() + "\r\nContent-Length: 20000\r\n\r\n" +
                                      data);
    EXPECT_EQ(cli.SentCount(), 20000);
    EXPECT_EQ(sendEnds, 1);
    EXPECT_EQ(body.DataString(), "done");
}

TEST_F(HttpCliTest, ProxyGetsTheAbsoluteTarget) {
    TScriptedPeer proxy({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    cli.Proxy = proxy.HostPort();
    cli.ProxyUsername = "pu";
    cli.ProxyPassword = "pp";
    cli.URL = "srv:81/x";
    RunGet(cli);
    cli.URL = "srv";
    RunGet(cli);
    ASSERT_EQ(proxy.Requests().size(), 2u);
    EXPECT_EQ(proxy.Requests()[0], std::string("GET http://srv:81/x HTTP/1.0\r\n") + kAccept + kAgent +
                                       "Host: srv:81\r\nProxy-Authorization: Basic cHU6cHA=\r\n\r\n");
    EXPECT_EQ(proxy.Requests()[1].substr(0, 27), "GET http://srv HTTP/1.0\r\nAc");
    EXPECT_NE(proxy.Requests()[1].find("\r\nHost: srv\r\n"), std::string::npos)
        << "the default port is not named";
}

// --- the reply -----------------------------------------------------------------

TEST_F(HttpCliTest, ReplySplitAtEveryByteGivesTheSameResult) {
    using namespace std::string_literals;
    const std::string reply =
        "HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\nContent-Length: 11\r\nX-A: b\r\n\r\nline1\r\n\0\r\nz"s;
    const std::string expected = "line1\r\n\0\r\nz"s;
    std::vector<TPeerScript> scripts;
    for (std::size_t i = 1; i < reply.size() + 0; ++i)
        scripts.push_back({ReadRequest(), SendBytes(reply.substr(0, i)), PauseMs(3),
                           SendBytes(reply.substr(i)), CloseConn()});
    TScriptedPeer peer(scripts);
    cli.URL = peer.HostPort();
    for (std::size_t i = 1; i < reply.size(); ++i) {
        SCOPED_TRACE("split at " + std::to_string(i));
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), expected);
        EXPECT_EQ(cli.StatusCode(), 200);
        EXPECT_EQ(cli.ReasonPhrase(), "OK");
        EXPECT_EQ(cli.ContentType(), "text/html");
        EXPECT_EQ(cli.ContentLength(), 11);
        EXPECT_EQ(cli.ReceivedCount(), 11);
        EXPECT_EQ(cli.ResponseHeaderLines(),
                  (std::vector<std::string>{"HTTP/1.0 200 OK", "Content-Type: Text/HTML",
                                            "Content-Length: 11", "X-A: b"}));
    }
}

TEST_F(HttpCliTest, ErrorReplyRaisesAfterStoringTheBodyOfTheSameRead) {
    TScriptedPeer peer({Answer("HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>gone</p>")});
    cli.URL = peer.HostPort() + "/missing";
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Not Found");
    EXPECT_EQ(o.code, 404);
    EXPECT_EQ(body.DataString(), "<p>gone</p>");
    EXPECT_EQ(cli.LastRequestError(), 0);
    EXPECT_EQ(cli.State(), hsIdle);
}

// What a hostile or broken server gets: a failure is never taken for
// success, and a complete reply is not held up by a server that keeps the
// connection open (the watchdog would abort it).
TEST_F(HttpCliTest, FailuresAreNotTakenForSuccess) {
    using namespace std::string_literals;
    const std::string reset = "Connection reset by peer (Error #10054)";
    const std::string manyLines = "HTTP/1.0 200 OK\r\n" + [] {
        std::string s;
        for (int i = 0; i < 60000; ++i) s += "X: y\r\n";
        return s;
    }();
    struct {
        TPeerScript script;
        std::string failure;  // empty: success
        int error;
        std::string body;
        const char* why;
    } cases[] = {
        {{ReadRequest(), CloseConn()},
         "Empty reply from server",
         httperrEmptyReply,
         "",
         "close before a byte"},
        {{ReadRequest(), ResetConn()}, reset, 10054, "", "reset before the reply"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nX-A: "), PauseMs(100), ResetConn()},
         reset,
         10054,
         "",
         "reset in the header"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n\r\n"), PauseMs(100), ResetConn()},
         reset,
         10054,
         "",
         "reset right after the header"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst half"), PauseMs(100),
          ResetConn()},
         reset,
         10054,
         "first half",
         "reset in a body with a length"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n\r\nfirst half"), PauseMs(100), ResetConn()},
         reset,
         10054,
         "first half",
         "reset in a body without a length"},
        {{ReadRequest(), SendBytes("SSH-2.0-OpenSSH_9.2p1\r\n"), WaitForClose(8000)},
         "Invalid HTTP reply",
         httperrInvalidReply,
         "",
         "not HTTP at all"},
        {{ReadRequest(), SendBytes("HTT"), PauseMs(50), CloseConn()},
         "Invalid HTTP reply",
         httperrInvalidReply,
         "",
         "the start of a status line, then the close"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst half"), PauseMs(50),
          CloseConn()},
         "transfer closed with 90 bytes remaining",
         httperrTransferClosed,
         "first half",
         "body cut short"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nX-A: a\0b\r\n\r\nbody"s), WaitForClose(8000)},
         "Invalid HTTP header",
         httperrInvalidHeader,
         "",
         "zero byte in a header line"},
        {{ReadRequest(), SendBytes(manyLines), WaitForClose(8000)},
         "HTTP header too large",
         httperrHeaderTooLarge,
         "",
         "endless short header lines"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), WaitForClose(8000)},
         "",
         0,
         "hello",
         "complete body on a connection left open"},
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"), WaitForClose(8000)},
         "",
         0,
         "",
         "empty body by its length"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello, and more"), "", 0, "hello",
         "bytes beyond the length are not body"},
        {Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\n\r\nfinal"),
         "", 0, "final", "interim replies are skipped"},
        {Answer("HTTP/1.0 200 OK\r\nSet-Cookie: " + std::string(20000, 'c') + "\r\n\r\nok"), "", 0, "ok",
         "a 20 KB Set-Cookie line"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        TScriptedPeer peer({c.script});
        cli.URL = peer.HostPort();
        body.Clear();
        Outcome o = RunGet(cli, 4000);
        EXPECT_EQ(o.raised, !c.failure.empty());
        EXPECT_EQ(o.message, c.failure);
        EXPECT_EQ(cli.LastRequestError(), c.error);
        EXPECT_EQ(body.DataString(), c.body);
        EXPECT_EQ(cli.State(), hsIdle);
        EXPECT_FALSE(cli.Connected());
    }
    EXPECT_LE(cli.ResponseHeaderLines().capacity(), 256u) << "a long header gives its memory back";
}

TEST_F(HttpCliTest, HeaderlessHtmlDocumentGoesToTheBody) {
    TScriptedPeer peer({{ReadRequest(), SendBytes("<html><body>\r\nline2\r\npart"), PauseMs(50),
                         SendBytes("ial\r\nend\n"), CloseConn()}});
    cli.URL = peer.HostPort() + "/setup.exe";
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "<html><body>line2partial\r\nend\n");
    EXPECT_EQ(cli.ContentType(), "text/html");
    EXPECT_TRUE(cli.ResponseHeaderLines().empty());
    EXPECT_EQ(cli.StatusCode(), 0);
}

TEST_F(HttpCliTest, HeaderlessDocumentsLastLineWithoutLineEndIsNotLost) {
    struct {
        const char* reply;
        const char* stored;
        const char* why;
    } cases[] = {
        {"<html><body>one line</body></html>", "<html><body>one line</body></html>", "the only line"},
        {"<HTML>\r\n<body>last</body></HTML>", "<HTML><body>last</body></HTML>", "the last of two lines"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        TScriptedPeer peer({{ReadRequest(), SendBytes(c.reply), PauseMs(50), CloseConn()}});
        cli.URL = peer.HostPort();
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), c.stored);
        EXPECT_EQ(cli.ReceivedCount(), static_cast<int>(body.Size()));
    }
}

TEST_F(HttpCliTest, HeadReplyEndsAtItsHeaderWhateverItsLength) {
    TScriptedPeer peer(
        {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n"), WaitForClose(8000)}});
    cli.URL = peer.HostPort();
    TWatchdog dog(4000, [this] { cli.Abort(); });
    EXPECT_NO_THROW(cli.Head());
    EXPECT_EQ(cli.ContentLength(), 100);
    EXPECT_EQ(body.Size(), 0);
}

TEST_F(HttpCliTest, ExeAnsweredAsHtmlIsNamedHtm) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n")});
    cli.URL = peer.HostPort() + "/dir/setup.exe";
    RunGet(cli);
    EXPECT_EQ(cli.DocumentName(), "setup.htm");
}

TEST_F(HttpCliTest, NumbersThatAreNoNumbersHaveNoEffect) {
    struct {
        const char* reply;
        int status;
        int length;
        const char* why;
    } cases[] = {
        {"HTTP/1.0 2x0 Odd\r\nContent-Length: 5\r\n\r\nbody!", 0, 5, "status code with a letter"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 219  \r\n\r\nbody!", 200, -1, "trailing blanks"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12ab\r\nX: y\r\n\r\nbody!", 200, -1, "letters after digits"},
        {"HTTP/2 200 OK\r\n\r\nbody!", 0, -1, "HTTP/2 is no status line"},
        {"HTTP/1.0 $C8 OK\r\nContent-Length: 0x10\r\n\r\nbody!", 0, -1, "hexadecimal is no decimal number"},
    };
    std::vector<TPeerScript> scripts;
    for (auto& c : cases) scripts.push_back(Answer(c.reply));
    TScriptedPeer peer(scripts);
    cli.URL = peer.HostPort();
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(cli.StatusCode(), c.status);
        EXPECT_EQ(cli.ContentLength(), c.length);
        EXPECT_EQ(body.DataString(), "body!") << "the rest of the reply is handled as usual";
    }
}

TEST_F(HttpCliTest, HeaderLineLongerThanTheBufferEndsTheRequestAtOnce) {
    // The server sends one endless header line and keeps the connection open.
    TScriptedPeer peer({{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nX-Long: " + std::string(70000, 'a')),
                         WaitForClose(8000)}});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli, 6000);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "HTTP line too long");
    EXPECT_EQ(o.code, 4);
    EXPECT_EQ(cli.State(), hsIdle);
    EXPECT_FALSE(cli.Connected());
    for (int i = 0; i < 200 && !peer.SawClientClose(); ++i) usleep(10000);
    EXPECT_TRUE(peer.SawClientClose()) << "the connection is closed, not left open";
}

TEST_F(HttpCliTest, LineOfExactlyTheBufferSizeIsAccepted) {
    std::string line = "X-Long: " + std::string(THttpLineBuffer::Capacity - 10, 'a');  // + CR LF = 64 KiB
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n" + line + "\r\n\r\nok")});
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "ok");
    ASSERT_EQ(cli.ResponseHeaderLines().size(), 2u);
    EXPECT_EQ(cli.ResponseHeaderLines()[1], line);
}

TEST_F(HttpCliTest, EventsInTheirOrder) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\nSet-Cookie: a=b\r\n\r\nxyz")});
    cli.URL = peer.HostPort();
    std::vector<std::string> seen;
    auto note = [&](const char* what) { return [&seen, what](base::TObject*) { seen.push_back(what); }; };
    cli.OnStateChange = [&](base::TObject*) { seen.push_back("state" + std::to_string(cli.State())); };
    cli.OnSessionConnected = note("connected");
    cli.OnRequestHeaderBegin = note("reqbegin");
    cli.OnRequestHeaderEnd = note("reqend");
    cli.OnHeaderBegin = note("hdrbegin");
    cli.OnHeaderData = note("hdrdata");
    cli.OnHeaderEnd = note("hdrend");
    cli.OnCookie = [&](base::TObject*, const std::string& d, bool& accept) {
        EXPECT_TRUE(accept);
        seen.push_back("cookie " + d);
    };
    cli.OnDocBegin = note("docbegin");
    cli.OnDocData = [&](base::TObject*, const char* b, int n) {
        seen.push_back("data " + std::string(b, n));
    };
    cli.OnDocEnd = note("docend");
    int done = 0;
    cli.OnRequestDone = [&](base::TObject*, THttpRequest kind, std::uint16_t error) {
        ++done;
        EXPECT_EQ(kind, rqGet);
        EXPECT_EQ(error, 0);
    };
    RunGet(cli);
    PumpUntil([&] { return done > 0; });
    EXPECT_EQ(done, 1);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"state1", "state3", "state4", "state2", "connected", "state5",
                                        "reqbegin", "reqend", "hdrbegin", "hdrdata", "cookie a=b", "hdrdata",
                                        "state6", "hdrend", "docbegin", "data xyz", "docend", "state0"}));
}

// --- redirection -----------------------------------------------------------------

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
    EXPECT_EQ(cli.ContentType(), "text/plain") << "kept from the redirecting reply";
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
        {"127.0.0.1:{PORT}/y", "GET /y HTTP/1.0", "{URL}", "host and path, as a pool entry is written"},
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

// --- failures --------------------------------------------------------------------

TEST_F(HttpCliTest, RefusedConnectionRaisesWithTheSocketText) {
    cli.URL = "127.0.0.1:" + std::to_string(UnusedPort());
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Connection refused (Error #10061)");
    EXPECT_EQ(o.code, 404);
    EXPECT_EQ(cli.LastRequestError(), 10061);
}

TEST_F(HttpCliTest, PortThatIsNoNumberFailsWithAnErrorCode) {
    cli.URL = "127.0.0.1:abc";
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message.substr(0, 14), "can't connect:");
    EXPECT_NE(o.message.find("abc"), std::string::npos) << o.message;
    EXPECT_NE(cli.LastRequestError(), 0) << "a failure is not reported as success";
}

TEST_F(HttpCliTest, LookupThatCannotStartLeavesTheClientIdle) {
    cli.URL = "";
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "can't resolve hostname to IP address");
    EXPECT_EQ(cli.State(), hsIdle);
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\nnext")});
    cli.URL = peer.HostPort();
    o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "next");
}

TEST_F(HttpCliTest, SlowServerTimesOut) {
    TScriptedPeer peer({{ReadRequest(), WaitForClose(5000)}});
    cli.URL = peer.HostPort();
    cli.Timeout = 2;
    auto started = std::chrono::steady_clock::now();
    Outcome o = RunGet(cli);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Connection timed out (Error #10060)");
    EXPECT_EQ(cli.LastRequestError(), 10060);
    EXPECT_FALSE(cli.Connected());
    EXPECT_EQ(cli.Socket().State(), wsClosed);
    // Neither early nor late.
    EXPECT_GE(took, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::milliseconds(2500));

    // A server that answers within the limit, late in it, is a success.
    TScriptedPeer late(
        {{ReadRequest(), PauseMs(1600), SendBytes("HTTP/1.0 200 OK\r\n\r\nlate"), CloseConn()}});
    cli.URL = late.HostPort();
    body.Clear();
    o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "late");
    // The next requests get the whole time limit again, from the same timer.
    const int timers = platform::Counts().timers;
    for (int i = 0; i < 2; ++i) {
        TScriptedPeer fast(
            {{ReadRequest(), PauseMs(300), SendBytes("HTTP/1.0 200 OK\r\n\r\nin time"), CloseConn()}});
        cli.URL = fast.HostPort();
        body.Clear();
        o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), "in time");
        EXPECT_EQ(platform::Counts().timers, timers);
    }
}

TEST_F(HttpCliTest, BusyAndAbortFromInsideTheWait) {
    TScriptedPeer peer({{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n\r\n"), WaitForClose(5000)}});
    cli.URL = peer.HostPort();
    std::string inner;
    std::vector<int> errors;
    cli.OnRequestDone = [&](base::TObject*, THttpRequest, std::uint16_t e) { errors.push_back(e); };
    cli.OnHeaderEnd = [&](base::TObject*) {
        try {
            cli.Get();
        } catch (const EHttpException& e) {
            inner = std::string(e.what()) + "/" + std::to_string(e.FailureCode);
        }
        cli.Abort();
    };
    Outcome o = RunGet(cli);
    EXPECT_EQ(inner, "HTTP component is busy/1");
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(o.message, "Connection aborted on request");
    EXPECT_EQ(cli.LastRequestError(), 3);
    platform::ProcessMessages();
    EXPECT_EQ(errors, std::vector<int>{3});
}

TEST_F(HttpCliTest, StoreFailureEndsTheRequestInsteadOfLosingTheBody) {
    struct TFullDisk : base::TStream {
        std::int64_t Write(const void*, std::int64_t) override { throw base::EInOutError(101); }
        std::int64_t Read(void*, std::int64_t) override { return 0; }
        std::int64_t Size() const override { return 0; }
        std::int64_t Position() const override { return 0; }
        void SetPosition(std::int64_t) override {}
    } full;
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\nbody")});
    cli.URL = peer.HostPort();
    cli.ReceiveStream = &full;
    Outcome o = RunGet(cli);
    EXPECT_TRUE(o.raised);
    EXPECT_EQ(cli.State(), hsIdle);
}

TEST_F(HttpCliTest, PostDataThatCannotBeReadFailsInsteadOfReportingSuccess) {
    // The post stream fails after some chunks have gone out: at once (right
    // after the header), or later, when the socket reports a chunk sent.
    struct TBadPost : base::TStream {
        int goodReads = 0;
        std::int64_t Write(const void*, std::int64_t) override { return 0; }
        std::int64_t Read(void* buf, std::int64_t n) override {
            if (goodReads-- <= 0) throw base::EInOutError(5);
            std::memset(buf, 'p', static_cast<std::size_t>(n));
            return n;
        }
        std::int64_t Size() const override { return 1 << 20; }
        std::int64_t Position() const override { return 0; }
        void SetPosition(std::int64_t) override {}
    };
    for (int good : {0, 3}) {
        SCOPED_TRACE(std::to_string(good) + " chunks before the failure");
        TScriptedPeer peer({{ReadRequest(), WaitForClose(5000)}});
        TBadPost bad;
        bad.goodReads = good;
        cli.URL = peer.HostPort();
        cli.PostStream = &bad;
        std::vector<int> errors;
        cli.OnRequestDone = [&](base::TObject*, THttpRequest, std::uint16_t e) { errors.push_back(e); };
        TWatchdog dog(10000, [this] { cli.Abort(); });
        EXPECT_THROW(cli.Post(), EHttpException);
        EXPECT_EQ(cli.StatusCode(), 404);
        EXPECT_NE(cli.LastRequestError(), 0);
        EXPECT_NE(cli.LastRequestError(), httperrAborted) << "ended by the failure, not by the watchdog";
        PumpUntil([&] { return !errors.empty(); });
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0], 0) << "OnRequestDone must not report success";
        cli.OnRequestDone = nullptr;
    }
}

TEST_F(HttpCliTest, NextRequestRightAfterAFailureIsNotCutShort) {
    // A refused connect ends a request twice over (the connect report, then
    // the socket's close); nothing of that may reach the request after it.
    TScriptedPeer peer(
        {{ReadRequest(), PauseMs(200), SendBytes("HTTP/1.0 200 OK\r\n\r\nlate"), CloseConn()}});
    for (int i = 0; i < 3; ++i) {
        cli.URL = "127.0.0.1:" + std::to_string(UnusedPort());
        EXPECT_TRUE(RunGet(cli).raised);
        cli.URL = peer.HostPort();
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_FALSE(o.raised) << o.message;
        EXPECT_EQ(body.DataString(), "late");
    }
}

TEST_F(HttpCliTest, OwnPumpWhenMultiThreaded) {
    TScriptedPeer peer(
        {{ReadRequest(), PauseMs(100), SendBytes("HTTP/1.0 200 OK\r\n\r\nown pump"), CloseConn()}});
    cli.SetMultiThreaded(true);
    EXPECT_TRUE(cli.Socket().MultiThreaded());
    cli.URL = peer.HostPort();
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    EXPECT_EQ(body.DataString(), "own pump");
}

TEST_F(HttpCliTest, AbortWhileIdleReportsNothing) {
    int done = 0;
    cli.OnRequestDone = [&](base::TObject*, THttpRequest, std::uint16_t) { ++done; };
    cli.Abort();
    platform::ProcessMessages();
    EXPECT_EQ(done, 0);
    EXPECT_EQ(cli.State(), hsIdle);
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\nstill fine")});
    cli.URL = peer.HostPort();
    EXPECT_FALSE(RunGet(cli).raised);
    PumpUntil([&] { return done > 0; });
    EXPECT_EQ(done, 1);
}

TEST_F(HttpCliTest, DocumentNameFromThePath) {
    struct {
        const char* path;
        const char* name;
    } cases[] = {{"/dir/", "dir"}, {"/a/b.html?x=1", "b.html"}, {"", "document.htm"}, {"/", "document.htm"}};
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    for (auto& c : cases) {
        cli.URL = peer.HostPort() + c.path;
        RunGet(cli);
        EXPECT_EQ(cli.DocumentName(), c.name) << c.path;
    }
}

}  // namespace
