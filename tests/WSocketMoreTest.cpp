// TWSocket's lookups and their cancelling, its properties and the error
// reports in their words, handlers that fail or free the socket, waits that
// sleep, and the levels above the base while switched off.
#include "WSocketFixture.h"

using namespace wsockettest;

// ---------------------------------------------------------------------------
// Lookups

TEST_F(WSocketTest, LookupOfADottedAddressIsDoneBeforeItReturns) {
    struct Row {
        const char* host;
        const char* result;
    } rows[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"010.0.0.1", "10.0.0.1"},  // canonical form
        {" 192.168.001.002 ", "192.168.1.2"},
    };
    for (const Row& r : rows) {
        Recorder rec;
        TWSocket s;
        rec.Attach(s);
        s.DnsLookup(r.host);
        EXPECT_EQ(rec.log, (std::vector<std::string>{"dns 0"})) << r.host;
        EXPECT_EQ(s.DnsResult(), r.result);
        EXPECT_TRUE(s.DnsResultList().empty());
    }
}

TEST_F(WSocketTest, LookupOfLocalhostFinishesFromTheLoop) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.DnsLookup("localhost");
    EXPECT_EQ(rec.dns, 0);
    ASSERT_TRUE(RunUntil([&] { return rec.dns == 1; }));
    EXPECT_EQ(rec.lastDns, 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), "127.0.0.1");
}

TEST_F(WSocketTest, LookupOfANameThatCannotResolveFailsWithHostNotFound) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.DnsLookup("no-such-host.sentrel.invalid");
    ASSERT_TRUE(RunUntil([&] { return rec.dns == 1; }));
    EXPECT_EQ(rec.lastDns, 11001);
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST_F(WSocketTest, LookupOfAnEmptyNameIsReported) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    EXPECT_EQ(ErrorOf([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_EQ(rec.dns, 0);
    int errors = 0;
    s.OnError = [&](base::TObject*) { ++errors; };
    s.DnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(rec.log, (std::vector<std::string>{"dns 10022"}));
}

TEST_F(WSocketTest, CancelDnsLookupFires10004AndDropsTheLateAnswer) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.CancelDnsLookup();
    EXPECT_EQ(rec.dns, 0) << "nothing pending, nothing fired";
    s.DnsLookup("localhost");  // its answer is already on its way
    s.CancelDnsLookup();
    EXPECT_EQ(rec.log, (std::vector<std::string>{"dns 10004"}));
    RunFor(200);
    EXPECT_EQ(rec.log, (std::vector<std::string>{"dns 10004"}));
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_EQ(platform::LookupCount(), 0);
}

TEST_F(WSocketTest, ASecondLookupReplacesThePendingOneSilently) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.DnsLookup("first.invalid");
    s.DnsLookup("localhost");
    ASSERT_TRUE(RunUntil([&] { return rec.dns == 1; }));
    RunFor(100);
    EXPECT_EQ(rec.log, (std::vector<std::string>{"dns 0"}));
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST_F(WSocketTest, ReverseLookupOfLoopbackGivesItsName) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(RunUntil([&] { return rec.dns == 1; }));
    EXPECT_EQ(rec.lastDns, 0);
    EXPECT_EQ(s.DnsResult(), "localhost");
    EXPECT_EQ(s.DnsResultList(), (std::vector<std::string>{"localhost"}));
}

TEST_F(WSocketTest, DestroyingASocketWithALookupPendingDropsTheLookup) {
    {
        Recorder rec;
        TWSocket s;
        rec.Attach(s);
        s.DnsLookup("localhost");
    }
    RunFor(100);
    EXPECT_EQ(platform::LookupCount(), 0);
}

// ---------------------------------------------------------------------------
// Properties and error reports

TEST_F(WSocketTest, ConnectReportsWhatIsMissingInItsOwnWords) {
    TWSocket s;
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("80");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
    s.SetProto("nosuchproto");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
              "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
    s.SetProto("tcp");
    s.SetPort("65536");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "connect: Range check error");
    s.SetPort("80");
    s.SetAddr("no-such-host.invalid");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }),
              "connect: WSocketResolveHost: Cannot convert host address 'no-such-host.invalid'");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(WSocketTest, AfterACloseThePortMustBeSetAgainAndProtoIsTcpAgain) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.SetProto("6");
    int peer = ConnectTo(s, server, rec);
    s.Close();
    EXPECT_EQ(s.Port(), server.PortText()) << "the old value still reads";
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    close(peer);
}

TEST_F(WSocketTest, PropertiesCannotChangeWhileConnected) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    s.SetAddr("127.0.0.1");  // the same value: nothing happens
    EXPECT_EQ(ErrorOf([&] { s.SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalAddr("127.0.0.1"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.Close();
    close(peer);
}

TEST_F(WSocketTest, PropertySettersTrimAndCanonicalise) {
    TWSocket s;
    s.SetAddr("  example.org ");
    EXPECT_EQ(s.Addr(), "example.org");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    s.SetLocalAddr("127.000.000.001");
    EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { s.SetLocalAddr("nowhere"); }), "SetLocalAddr(): Invalid IP address");
    EXPECT_EQ(ErrorOf([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.GetXPort(), "error");
}

TEST_F(WSocketTest, WithOnErrorAssignedAFailedConnectFiresItAndReturns) {
    TWSocket s;
    int errors = 0;
    s.OnError = [&](base::TObject*) { ++errors; };
    s.Connect();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.State(), wsClosed);
}

namespace {
int IntOption(int fd, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, SOL_SOCKET, name, &v, &len);
    return v;
}
}  // namespace

TEST_F(WSocketTest, LocalPortHoldsThePortActuallyBound) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.SetLocalAddr("127.0.0.1");
    int peer = ConnectTo(s, server, rec);
    EXPECT_NE(s.LocalPort(), "0");
    EXPECT_EQ(s.GetXPort(), s.LocalPort());
    EXPECT_EQ(IntOption(s.HSocket(), SO_REUSEADDR), 1) << "a connection that binds may reuse its address";
    s.Close();
    close(peer);
}

// A connection sets its linger setting (on, 0 s by default; not at all with
// wsLingerNoSet), keep-alive, address reuse and no delay for short sends.
TEST_F(WSocketTest, AConnectionSetsItsLingerKeepAliveAndAddressReuse) {
    for (TSocketLingerOnOff linger : {wsLingerOn, wsLingerNoSet}) {
        Listener server;
        Recorder rec;
        TWSocket s;
        rec.Attach(s);
        s.SetLingerOnOff(linger);
        int peer = ConnectTo(s, server, rec);
        ::linger l{};
        socklen_t len = sizeof l;
        ASSERT_EQ(getsockopt(s.HSocket(), SOL_SOCKET, SO_LINGER, &l, &len), 0);
        EXPECT_EQ(l.l_onoff, linger == wsLingerOn ? 1 : 0);
        EXPECT_EQ(IntOption(s.HSocket(), SO_KEEPALIVE), 1);
        EXPECT_EQ(IntOption(s.HSocket(), SO_REUSEADDR), 1);
        int noDelay = 0;
        len = sizeof noDelay;
        ASSERT_EQ(getsockopt(s.HSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
        EXPECT_EQ(noDelay, 1) << "a short send behind an unacknowledged one goes out at once";
        s.AbortSocket();
        close(peer);
    }
}

// ---------------------------------------------------------------------------
// Handlers that fail, free the socket or read nothing

TEST_F(WSocketTest, AnExceptionInANotificationGoesToOnBgExceptionAndAbortsTheSocket) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    std::string seen;
    s.OnBgException = [&](base::TObject*, const std::exception& e, bool&) { seen = e.what(); };
    platform::PostMessage(s.Handle(), WM_TRIGGER_EXCEPTION, 0, 0);
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    EXPECT_EQ(seen, "Test exception in WSocket");
    EXPECT_EQ(s.State(), wsClosed);

    // A handler that vetoes the abort keeps the connection.
    int peer2 = ConnectTo(s, server, rec);
    s.OnBgException = [&](base::TObject*, const std::exception&, bool& canClose) { canClose = false; };
    platform::PostMessage(s.Handle(), WM_TRIGGER_EXCEPTION, 0, 0);
    RunFor(30);
    EXPECT_EQ(s.State(), wsConnected);
    s.Close();
    close(peer);
    close(peer2);
}

TEST_F(WSocketTest, AnExceptionInTheDataHandlerEndsThatReadAndLeavesTheConnectionOpen) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    int calls = 0;
    s.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
        ++calls;
        char buf[2];
        s.Receive(buf, 2);
        throw base::Exception("HTTP line too long");
    };
    SendAll(peer, "abcdef");
    ASSERT_TRUE(RunUntil([&] { return calls >= 1; }));
    RunFor(30);
    EXPECT_EQ(s.State(), wsConnected);
    s.Close();
    close(peer);
}

TEST_F(WSocketTest, HandlerThatReadsNothingDoesNotSpinTheLoop) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    int calls = 0;
    s.OnDataAvailable = [&](base::TObject*, std::uint16_t) { ++calls; };
    SendAll(peer, "unread");
    ASSERT_TRUE(RunUntil([&] { return calls >= 1; }));
    RunFor(100);
    EXPECT_EQ(calls, 1) << "the same bytes offered again and again";
    // The next read of the application hears of them again.
    char buf[3];
    EXPECT_EQ(s.Receive(buf, 3), 3);
    ASSERT_TRUE(RunUntil([&] { return calls == 2; }));
    s.Close();
    close(peer);
}

// A handler that leaves the data unread (it reads nothing, or fails before
// reading) stops the reading, not the connection's end: the peer's close
// still comes, on a connection made here (edge-triggered) and on one taken
// over from elsewhere (level-triggered).
TEST_F(WSocketTest, AHandlerThatLeavesDataUnreadStillHearsThePeersClose) {
    const struct {
        const char* how;
        bool throws;
        bool adopted;
        bool reset;
        std::string data = "unread";  // what the peer sends first
    } rows[] = {
        {"reads nothing", false, false, false},
        {"throws before reading", true, false, false},
        {"reads nothing, adopted connection", false, true, false},
        {"throws before reading, adopted connection", true, true, false},
        {"reads nothing, then a reset", false, false, true},
        // The read that stands for the close alone, left unanswered.
        {"reads nothing of a close alone", false, false, false, ""},
        {"reads nothing of a close alone, adopted connection", false, true, false, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.how);
        Listener server;
        Recorder rec;
        TWSocket s;
        rec.Attach(s);
        int peer = -1;
        if (r.adopted) {
            peer = Dial(server.Port());
            s.Dup(server.Accept());
        } else {
            peer = ConnectTo(s, server, rec);
        }
        ASSERT_GE(peer, 0);
        int calls = 0;
        s.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
            ++calls;
            if (r.throws) throw base::Exception("HTTP line too long");
        };
        if (!r.data.empty()) {
            SendAll(peer, r.data);
            ASSERT_TRUE(RunUntil([&] { return calls >= 1; }));
            RunFor(20);
            EXPECT_EQ(rec.closed, 0);
        }
        if (r.reset)
            Reset(peer);
        else
            close(peer);
        ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
        EXPECT_EQ(rec.lastClose, r.reset ? 10054 : 0);
        EXPECT_EQ(s.State(), wsClosed);
    }
}

TEST_F(WSocketTest, ASocketFreedInsideOnSessionClosedIsNotTouchedAgain) {
    Listener server;
    auto* s = new TWSocket();
    Recorder rec;
    rec.Attach(*s);
    int peer = ConnectTo(*s, server, rec);
    bool freed = false;
    s->OnSessionClosed = [&](base::TObject* sender, std::uint16_t) {
        delete static_cast<TWSocket*>(sender);
        freed = true;
    };
    SendAll(peer, "bye");
    close(peer);
    ASSERT_TRUE(RunUntil([&] { return freed; }));
}

TEST_F(WSocketTest, FreeLaterDeletesTheSocketFromTheLoop) {
    auto* s = new TWSocket();
    s->FreeLater();
    EXPECT_EQ(WSocketCount(), 1);
    ASSERT_TRUE(RunUntil([&] { return WSocketCount() == 0; }));
}

// ---------------------------------------------------------------------------
// Waiting

TEST_F(WSocketTest, WaitUntilSetSleepsInsteadOfSpinning) {
    TWSocket s;
    s.Timeout = 400;
    bool flag = false;
    double cpu = CpuSeconds();
    EXPECT_EQ(s.WaitUntilSet(flag), 12001) << "the time-out ends the wait";
    EXPECT_LT(CpuSeconds() - cpu, 0.2) << "the wait spun";

    // A flag set by something the loop runs ends it with 0.
    s.Timeout = 0;
    platform::HWND w = platform::AllocateHWnd([&](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == platform::WM_TIMER) flag = true;
        return platform::LRESULT{0};
    });
    platform::SetTimer(w, 1, 50);
    testsupport::TWatchdog dog(5000, [&] { flag = true; });
    EXPECT_EQ(s.RunAndWait(nullptr, flag), 0);
    platform::DeallocateHWnd(w);
}

TEST_F(WSocketTest, MultiThreadedWaitUsesTheOwnPumpAndSleepsToo) {
    TWSocket s;
    s.SetMultiThreaded(true);
    s.Timeout = 300;
    bool flag = false;
    double cpu = CpuSeconds();
    EXPECT_EQ(s.WaitUntilSet(flag), 12001);
    EXPECT_LT(CpuSeconds() - cpu, 0.2);
}

// ---------------------------------------------------------------------------
// The levels above the base are transparent while switched off

TEST_F(WSocketTest, SocksAndLineSettingsKeepTheirRules) {
    TWSocket s;
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    s.SetSocksServer("127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }), "listening is not supported thru socks server");
    EXPECT_FALSE(s.LineMode());
    EXPECT_EQ(s.LineEnd, "\r\n");
}
