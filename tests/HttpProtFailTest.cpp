// The HTTP client's failures against scripted servers on 127.0.0.1: refused
// connections, ports that are no number, lookups that cannot start, slow
// servers, handlers that free the client or call it again, streams that
// fail, what a failure leaves for the next request, and the document name
// taken from the path.
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

// Any event handler may free the client; nothing of it is touched after
// (the sanitizer run is what catches a use after free).
TEST(HttpCliGuard, HandlerMayFreeTheClient) {
    using Hook = void (*)(THttpCli&, std::function<void()>);
    const struct {
        const char* event;
        Hook hook;
    } rows[] = {
        {"OnCommand",
         [](THttpCli& c, std::function<void()> f) {
             c.OnCommand = [f](base::TObject*, const std::string&) { f(); };
         }},
        {"OnRequestHeaderEnd",
         [](THttpCli& c, std::function<void()> f) { c.OnRequestHeaderEnd = [f](base::TObject*) { f(); }; }},
        {"OnHeaderBegin",
         [](THttpCli& c, std::function<void()> f) { c.OnHeaderBegin = [f](base::TObject*) { f(); }; }},
        {"OnHeaderData",
         [](THttpCli& c, std::function<void()> f) { c.OnHeaderData = [f](base::TObject*) { f(); }; }},
        {"OnCookie",
         [](THttpCli& c, std::function<void()> f) {
             c.OnCookie = [f](base::TObject*, const std::string&, bool&) { f(); };
         }},
        {"OnHeaderEnd",
         [](THttpCli& c, std::function<void()> f) { c.OnHeaderEnd = [f](base::TObject*) { f(); }; }},
        {"OnDocBegin",
         [](THttpCli& c, std::function<void()> f) { c.OnDocBegin = [f](base::TObject*) { f(); }; }},
        {"OnDocData",
         [](THttpCli& c, std::function<void()> f) {
             c.OnDocData = [f](base::TObject*, const char*, int) { f(); };
         }},
        {"OnLocationChange",
         [](THttpCli& c, std::function<void()> f) { c.OnLocationChange = [f](base::TObject*) { f(); }; }},
        {"OnStateChange",
         [](THttpCli& c, std::function<void()> f) {
             c.OnStateChange = [&c, f](base::TObject*) {
                 if (c.State() == hsReceivingBody) f();
             };
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.event);
        TScriptedPeer peer({Answer("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"),
                            Answer("HTTP/1.0 200 OK\r\nSet-Cookie: a=b\r\n\r\nline one\r\nline two")});
        auto* cli = new THttpCli;
        bool freed = false;
        r.hook(*cli, [&] {
            if (freed) return;
            freed = true;
            delete cli;
        });
        cli->URL = peer.HostPort();
        cli->StartRequest(rqGet);
        PumpUntil([&] { return freed; });
        EXPECT_TRUE(freed);
        if (!freed) delete cli;
        for (int i = 0; i < 20; ++i) {  // whatever the client had posted finds it gone
            platform::ProcessMessages();
            usleep(5000);
        }
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
