// The HTTP client against scripted servers on 127.0.0.1: the exact request
// bytes, replies split at every byte, error replies, early closes, resets,
// malformed headers, and the failures that must end a request
// instead of leaving it hanging.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "HttpCliFixture.h"
#include "base/Stream.h"
#include "net/HttpProt.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "support/ScriptedPeer.h"
#include "support/Watchdog.h"

using namespace net;
using namespace testsupport;

namespace {

using namespace httpclitest;

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

// What a URL puts on the wire: never its fragment, escapes in its user
// information decoded, and nothing at all for a scheme the client does not
// fetch.
TEST_F(HttpCliTest, WhatAUrlSendsAndWhatItNeverSends) {
    const struct {
        const char* url;  // {HP}: the peer's host and port
        bool viaProxy;
        const char* sent;  // a line the request holds; empty: no connection at all
        const char* failure;
    } rows[] = {
        {"{HP}/page#part", false, "GET /page HTTP/1.0", ""},
        {"http://{HP}#part", false, "GET / HTTP/1.0", ""},
        {"srv.invalid/page?q=1#part", true, "GET http://srv.invalid/page?q=1 HTTP/1.0", ""},
        {"http://u%40x:p%40ss@{HP}/", false, "Authorization: Basic dUB4OnBAc3M=", ""},
        {"ftp://{HP}/x", false, "", "Unsupported protocol"},
        {"mailto:x@{HP}", false, "", "Unsupported protocol"},
        {"ftp://srv.invalid/x", true, "", "Unsupported protocol"},
        {"a:b:{HP}/", false, "", "invalid host name"},
        {"http://a:b:1/", true, "", "invalid host name"},
        {"http://a b/", false, "", "invalid host name"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.url);
        TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\nok")});
        std::string url = r.url;
        if (const auto at = url.find("{HP}"); at != std::string::npos) url.replace(at, 4, peer.HostPort());
        cli.URL = url;
        cli.Proxy = r.viaProxy ? "127.0.0.1" : "";
        cli.ProxyPort = std::to_string(peer.Port());
        Outcome o = RunGet(cli);
        EXPECT_EQ(o.message, r.failure);
        if (*r.sent == 0) {
            EXPECT_EQ(cli.LastRequestError(), r.failure == std::string("invalid host name")
                                                  ? httperrInvalidHost
                                                  : httperrUnsupportedProtocol);
            EXPECT_EQ(peer.Connections(), 0);
            continue;
        }
        ASSERT_EQ(peer.Requests().size(), 1u);
        EXPECT_NE(peer.Requests()[0].find(std::string(r.sent) + "\r\n"), std::string::npos)
            << peer.Requests()[0];
        EXPECT_EQ(peer.Requests()[0].find('#'), std::string::npos);
    }
}

// A value holding a control character would end its header line and start
// one of its own: it is left out, the rest of the request stands.
TEST_F(HttpCliTest, HeaderValueWithAControlCharacterIsLeftOut) {
    TScriptedPeer peer({Answer("HTTP/1.0 200 OK\r\n\r\nok")});
    cli.URL = peer.HostPort();
    cli.Cookie = "a=b\r\nX-Injected: yes";
    cli.Reference = "http://ref/\x01";
    cli.ContentRangeBegin = "1\r";
    cli.Sender = "me\tyou";  // a tab is a blank
    Outcome o = RunGet(cli);
    EXPECT_FALSE(o.raised) << o.message;
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0], std::string("GET / HTTP/1.0\r\nFrom: me\tyou\r\n") + kAccept + kAgent +
                                      "Host: " + peer.HostPort() + "\r\n\r\n");
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
        // Statuses without a body end at their header, whatever length they
        // announce, on a connection the server keeps open.
        {{ReadRequest(), SendBytes("HTTP/1.0 304 Not Modified\r\nContent-Length: 100\r\n\r\n"),
          WaitForClose(8000)},
         "",
         0,
         "",
         "304 with a length"},
        {{ReadRequest(), SendBytes("HTTP/1.0 204 No Content\r\nContent-Length: 100\r\n\r\n"),
          WaitForClose(8000)},
         "",
         0,
         "",
         "204 with a length"},
        {Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\n\r\nfinal"),
         "", 0, "final", "interim replies are skipped"},
        // Status lines that are not HTTP/1.x with three digits from 100 to 599.
        {Answer("HTTP/2 503\r\n\r\n"), "Invalid HTTP reply", httperrInvalidReply, "", "HTTP/2"},
        {Answer("HTTP/1.2 503 x\r\n\r\n"), "Invalid HTTP reply", httperrInvalidReply, "", "HTTP/1.2"},
        {Answer("HTTP/1.1  500 x\r\n\r\n"), "Invalid HTTP reply", httperrInvalidReply, "", "two blanks"},
        {Answer("HTTP/1.1 000 x\r\n\r\n"), "Invalid HTTP reply", httperrInvalidReply, "", "code 000"},
        {Answer("HTTP/1.1 -50 x\r\n\r\n"), "Invalid HTTP reply", httperrInvalidReply, "", "a sign"},
        {Answer("HTTP\r\n\r\nbody"), "Invalid HTTP reply", httperrInvalidReply, "", "a bare HTTP"},
        {Answer("HTTP/1.1\r\n\r\nbody"), "Invalid HTTP reply", httperrInvalidReply, "", "no code"},
        {Answer("HTTP/1.1 500 x\r\nHTTP/1.1 200 OK\r\n\r\n"), "Invalid HTTP header", httperrInvalidHeader, "",
         "a second status line inside the header"},
        // Replies cut short.
        {Answer("HTTP/1.0 200 OK\r\nX-A: b\r\n"), "transfer closed", httperrTransferClosed, "",
         "header without its empty line"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nabcd"), "transfer closed with 1 bytes remaining",
         httperrTransferClosed, "abcd", "one byte short"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nbody"), "Invalid HTTP header",
         httperrInvalidHeader, "", "negative length"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\nbody"), "Invalid HTTP header",
         httperrInvalidHeader, "", "length above 2^63-1"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!"),
         "Invalid HTTP header", httperrInvalidHeader, "", "two lengths that differ"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: 100, 100\r\n\r\nbody"), "Invalid HTTP header",
         httperrInvalidHeader, "", "a list of lengths"},
        {Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello"), "", 0, "hello",
         "the same length twice"},
        // Chunked to a 1.0 request is not allowed: the length tells the end.
        {Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\nhello, more"), "",
         0, "hello", "a transfer coding and a length"},
        {Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\nhello"), "", 0,
         "hello", "a length and a transfer coding"},
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

// A status or a length that is no number leaves the reply unreadable: it
// fails instead of being read up to the close.
TEST_F(HttpCliTest, NumbersThatAreNoNumbersFailTheReply) {
    struct {
        const char* reply;
        const char* failure;
        std::int64_t length;
        const char* why;
    } cases[] = {
        {"HTTP/1.0 2x0 Odd\r\nContent-Length: 5\r\n\r\nbody!", "Invalid HTTP reply", -1,
         "status code with a letter"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 219  \r\n\r\nbody!", "transfer closed with 214 bytes remaining",
         219, "trailing blanks are no part of the value"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12ab\r\nX: y\r\n\r\nbody!", "Invalid HTTP header", -1,
         "letters after digits"},
        {"HTTP/2 200 OK\r\n\r\nbody!", "Invalid HTTP reply", -1, "HTTP/2 is no status line"},
        {"HTTP/1.0 $C8 OK\r\nContent-Length: 0x10\r\n\r\nbody!", "Invalid HTTP reply", -1,
         "hexadecimal is no decimal number"},
    };
    std::vector<TPeerScript> scripts;
    for (auto& c : cases) scripts.push_back(Answer(c.reply));
    TScriptedPeer peer(scripts);
    cli.URL = peer.HostPort();
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        body.Clear();
        Outcome o = RunGet(cli);
        EXPECT_TRUE(o.raised);
        EXPECT_EQ(o.message, c.failure);
        EXPECT_EQ(cli.StatusCode(), 404);
        EXPECT_EQ(cli.ContentLength(), c.length);
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

}  // namespace
