// TWSocket against peers on 127.0.0.1 that the test opens: the order of
// state changes and events for connect, send, receive and close; refused
// connections, resets, data split at every byte; the send chain's blocks,
// Flush and OnDataSent; and everything released afterwards.
#include "WSocketFixture.h"

using namespace wsockettest;

// ---------------------------------------------------------------------------
// Connections and their events

TEST_F(WSocketTest, ConnectSendReceiveAndPeerCloseFireTheirEventsInOrder) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(server.PortText());
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    EXPECT_EQ(rec.connected, 0) << "the outcome comes from the loop";
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return rec.sent == 1; }));
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), server.PortText());

    EXPECT_EQ(s.SendText("ping"), 4);
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        got += ReadAvailable(peer);
        return got == "ping" && rec.sent == 2;
    }));
    SendAll(peer, "pong");
    close(peer);
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    RunFor(30);
    EXPECT_EQ(rec.received, "pong");
    EXPECT_EQ(s.ReadCount(), 0) << "reset by the close";
    EXPECT_EQ(rec.Milestones(), (std::vector<std::string>{"state 7>1", "state 1>3", "state 3>4",
                                                          "connected 0", "closed 0", "state 4>7"}));
    EXPECT_EQ(rec.log[4], "sent 0") << "the write notification after connecting";
    EXPECT_EQ(s.State(), wsClosed);
    s.Close();  // nothing more
    EXPECT_EQ(rec.closed, 1);
}

TEST_F(WSocketTest, RefusedConnectionFiresConnectedWithTheCodeThenClosed) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(ClosedPort()));
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    RunFor(50);
    EXPECT_EQ(rec.log, (std::vector<std::string>{"state 7>1", "state 1>3", "state 3>4", "connected 10061",
                                                 "state 4>7", "closed 0"}));
}

TEST_F(WSocketTest, PeerResetMidStreamClosesOnceWith10054) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    SendAll(peer, "partial");
    ASSERT_TRUE(RunUntil([&] { return rec.received == "partial"; }));
    Reset(peer);
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    RunFor(50);
    EXPECT_EQ(rec.closed, 1);
    EXPECT_EQ(rec.lastClose, 10054);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(WSocketTest, PeerResetWhileDataIsQueuedClosesOnceWith10054) {
    Listener server(true);
    Recorder rec;
    ProbeSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    SmallBuffers(s.HSocket());
    std::string big(4 << 20, 'q');
    s.Send(big.data(), static_cast<int>(big.size()));
    EXPECT_GT(s.Blocks(), 1u) << "the platform could not take it all";
    Reset(peer);
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    RunFor(50);
    EXPECT_EQ(rec.closed, 1);
    EXPECT_EQ(rec.lastClose, 10054);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(WSocketTest, DataSplitAtEveryByteArrivesWholeAndInOrder) {
    const std::string reply = "HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody";
    Listener server;
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        Recorder rec;
        TWSocket s;
        rec.Attach(s);
        int peer = ConnectTo(s, server, rec);
        SendAll(peer, reply.substr(0, cut));
        ASSERT_TRUE(RunUntil([&] { return rec.received.size() == cut; })) << cut;
        SendAll(peer, reply.substr(cut));
        close(peer);
        ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; })) << cut;
        EXPECT_EQ(rec.received, reply) << cut;
        EXPECT_EQ(rec.lastClose, 0) << cut;
    }
}

TEST_F(WSocketTest, DataBeforeThePeersCloseIsDeliveredBeforeSessionClosed) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    std::string body(100000, 'z');
    SendAll(peer, body);
    close(peer);
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    EXPECT_EQ(rec.received.size(), body.size());
    EXPECT_EQ(rec.log.back(), "state 4>7");
}

TEST_F(WSocketTest, WithoutADataHandlerReceivedBytesAreDiscardedAndTheSocketStaysUsable) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.OnDataAvailable = nullptr;
    int peer = ConnectTo(s, server, rec);
    SendAll(peer, std::string(5000, 'd'));
    ASSERT_TRUE(RunUntil([&] { return s.RcvdCount() == 0 && platform::AsyncSelectCount() == 1; }));
    RunFor(30);
    EXPECT_EQ(s.RcvdCount(), 0);
    s.SendText("still here");
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        got += ReadAvailable(peer);
        return got == "still here";
    }));
    close(peer);
}

TEST_F(WSocketTest, CloseFiresSessionClosedOnceAndAClosedSocketIgnoresClose) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.Close();
    EXPECT_TRUE(rec.log.empty()) << "closing a closed socket does nothing";
    int peer = ConnectTo(s, server, rec);
    s.Close();
    EXPECT_EQ(rec.closed, 1) << "fired from inside Close";
    EXPECT_EQ(rec.log.back(), "closed 0");
    s.Close();
    RunFor(30);
    EXPECT_EQ(rec.closed, 1);
    EXPECT_EQ(s.State(), wsClosed);
    close(peer);
}

TEST_F(WSocketTest, CloseResetsTheConnectionWhileAbortLetsItEndInTheBackground) {
    // With the default linger settings (on, 0 s) a close resets the
    // connection after its half-close; an abort turns lingering off, so the
    // peer sees an orderly end.
    struct Row {
        const char* how;
        bool abort;
        int peerState;
    } rows[] = {
        {"close", false, TCP_CLOSE},
        {"abort", true, TCP_CLOSE_WAIT},
    };
    Listener server;
    for (const Row& r : rows) {
        Recorder rec;
        TWSocket s;
        rec.Attach(s);
        int peer = ConnectTo(s, server, rec);
        if (r.abort)
            s.AbortSocket();
        else
            s.Close();
        EXPECT_EQ(rec.closed, 1) << r.how;
        auto peerState = [&] {
            tcp_info info{};
            socklen_t len = sizeof info;
            getsockopt(peer, IPPROTO_TCP, TCP_INFO, &info, &len);
            return static_cast<int>(info.tcpi_state);
        };
        EXPECT_TRUE(RunUntil([&] { return peerState() == r.peerState; }, 2000))
            << r.how << ": the peer is in TCP state " << peerState();
        close(peer);
    }
}

TEST_F(WSocketTest, AbortDropsQueuedDataAndClosesAtOnce) {
    Listener server(true);
    Recorder rec;
    ProbeSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    SmallBuffers(s.HSocket());
    std::string big(2 << 20, 'a');
    s.Send(big.data(), static_cast<int>(big.size()));
    s.AbortSocket();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Blocks(), 0u);
    EXPECT_EQ(rec.closed, 1);
    EXPECT_EQ(rec.lastClose, 0);
    close(peer);
}

TEST_F(WSocketTest, CloseLaterClosesFromTheLoop) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    s.CloseLater();
    EXPECT_EQ(s.State(), wsConnected);
    ASSERT_TRUE(RunUntil([&] { return rec.closed == 1; }));
    close(peer);
}

TEST_F(WSocketTest, ListenAcceptAndDupGiveAConnectedPairOverEitherFamily) {
    // Each row: where the listener binds and how the client names it.
    struct Row {
        const char* listen;
        const char* connect;
        const char* peer;
    } rows[] = {
        {"127.0.0.1", "127.0.0.1", "127.0.0.1"},
        {"::1", "::1", "::1"},
        {"::1", "[::1]", "::1"},
    };
    for (const Row& r : rows) {
        if (std::string(r.listen) == "::1" && !HasIPv6Loopback()) {
            std::cout << "skipped " << r.connect << ": this machine has no ::1\n";
            continue;
        }
        Recorder lrec, crec, cl;
        TWSocket listener, conn, client;
        lrec.Attach(listener);
        crec.Attach(conn);
        cl.Attach(client);
        int available = 0;
        listener.OnSessionAvailable = [&](base::TObject*, std::uint16_t e) {
            EXPECT_EQ(e, 0);
            ++available;
            conn.Dup(listener.Accept());
        };
        listener.SetAddr(r.listen);
        listener.SetPort("0");
        listener.Listen();
        EXPECT_EQ(listener.State(), wsListening) << r.connect;
        EXPECT_EQ(lrec.log, (std::vector<std::string>{"state 7>2", "state 2>6"})) << r.connect;
        std::string port = listener.GetXPort();
        EXPECT_NE(port, "error");
        client.SetAddr(r.connect);
        client.SetPort(port);
        client.Connect();
        ASSERT_TRUE(RunUntil([&] { return cl.connected == 1 && conn.State() == wsConnected; })) << r.connect;
        EXPECT_EQ(available, 1);
        EXPECT_EQ(client.PeerAddr(), r.peer) << r.connect;
        EXPECT_EQ(client.PeerPort(), port) << r.connect;
        EXPECT_EQ(conn.PeerAddr(), r.peer) << r.connect;
        client.SendText("hello");
        conn.SendText("world");
        ASSERT_TRUE(RunUntil([&] { return crec.received == "hello" && cl.received == "world"; }));
        conn.Close();
        ASSERT_TRUE(RunUntil([&] { return cl.closed == 1; }));
        listener.Close();
        EXPECT_EQ(listener.State(), wsClosed);
    }
}

TEST_F(WSocketTest, DatagramSocketsAreReadyAtOnceAndExchangeDatagrams) {
    Recorder srec, crec;
    TWSocket server, client;
    srec.Attach(server);
    crec.Attach(client);
    std::string got;
    server.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
        char buf[100];
        TSockAddrIn from;
        int n = server.ReceiveFrom(buf, sizeof buf, from);
        if (n > 0) got.assign(buf, static_cast<std::size_t>(n));
    };
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    EXPECT_EQ(srec.Milestones(),
              (std::vector<std::string>{"state 7>2", "state 2>6", "state 6>4", "connected 0"}));
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetXPort());
    client.Connect();
    EXPECT_EQ(crec.Milestones(), (std::vector<std::string>{"state 7>1", "state 1>4", "connected 0"}));
    client.SendText("dgram");
    ASSERT_TRUE(RunUntil([&] { return got == "dgram"; }));
    client.Close();
    server.Close();
}

// ---------------------------------------------------------------------------
// The send chain

TEST_F(WSocketTest, ASendOf3000BytesGoesOutInBlocksOf1514And1486) {
    Listener server;
    Recorder rec;
    ProbeSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    RunFor(20);
    rec.sent = 0;
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>('a' + i % 26);
    EXPECT_EQ(s.Send(data.data(), 3000), 3000);
    EXPECT_EQ(rec.sendData, (std::vector<int>{1514, 1486}));
    EXPECT_EQ(rec.sent, 0) << "OnDataSent never fires inside Send";
    EXPECT_EQ(s.Blocks(), 1u) << "the drained first block is freed";
    EXPECT_EQ(s.FirstUnsent(), 0);
    ASSERT_TRUE(RunUntil([&] { return rec.sent == 1; }));
    RunFor(30);
    EXPECT_EQ(rec.sent, 1);
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        got += ReadAvailable(peer);
        return got.size() >= data.size();
    }));
    EXPECT_EQ(got, data);
    close(peer);
}

TEST_F(WSocketTest, APartlyAcceptedSendFinishesOnWriteNotificationsAndDataSentComesOnceAtTheEnd) {
    Listener server(true);
    Recorder rec;
    ProbeSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    SmallBuffers(s.HSocket());
    RunFor(20);
    rec.sent = 0;
    std::string data(3 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
    EXPECT_EQ(s.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    EXPECT_GT(s.Blocks(), 1u);
    bool emptyWhenSent = true;
    s.OnDataSent = [&](base::TObject*, std::uint16_t) {
        ++rec.sent;
        emptyWhenSent = emptyWhenSent && s.FirstUnsent() == 0 && s.Blocks() == 1;
    };
    std::string got;
    ASSERT_TRUE(RunUntil(
        [&] {
            got += ReadAvailable(peer);
            return got.size() == data.size() && rec.sent == 1;
        },
        10000))
        << got.size() << " of " << data.size() << ", sent " << rec.sent << ", blocks " << s.Blocks();
    EXPECT_TRUE(emptyWhenSent) << "OnDataSent before the chain was empty";
    RunFor(30);
    EXPECT_EQ(rec.sent, 1);
    EXPECT_TRUE(got == data) << "bytes lost or reordered";
    close(peer);
}

// A send the platform takes only in part (count < n, without "would block"):
// the rest still goes out, in order, and OnDataSent comes once at the end.
TEST_F(WSocketTest, SendsTakenInPartStillDeliverEveryByte) {
    struct PartSocket : TWSocket {
        int cap = 100;
        int calls = 0;
        int RawSend(const void* data, int len) override {
            ++calls;
            return TWSocket::RawSend(data, std::min(len, cap));
        }
    };
    Listener server(true);
    Recorder rec;
    PartSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    RunFor(20);
    rec.sent = 0;
    std::string data(3000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
    EXPECT_EQ(s.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    std::string got;
    EXPECT_TRUE(RunUntil(
        [&] {
            got += ReadAvailable(peer);
            return got.size() == data.size() && rec.sent == 1;
        },
        5000))
        << got.size() << " of " << data.size() << ", sent " << rec.sent;
    EXPECT_TRUE(got == data) << "bytes lost or reordered";
    EXPECT_GE(s.calls, 30);
    close(peer);
}

TEST_F(WSocketTest, FlushReturnsOnceEverythingHasBeenSent) {
    Listener server(true);
    Recorder rec;
    ProbeSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    SmallBuffers(s.HSocket());
    std::string got;
    // The peer reads from inside the loop that Flush sleeps in.
    platform::WatchFd(peer, EPOLLIN, [&](std::uint32_t) { got += ReadAvailable(peer); });
    struct Unwatch {
        int fd;
        ~Unwatch() { platform::UnwatchFd(fd); }
    } unwatch{peer};
    std::string data(1 << 20, 'f');
    s.Send(data.data(), static_cast<int>(data.size()));
    EXPECT_FALSE(s.AllSent());
    testsupport::TWatchdog dog(10000, [&] { s.AbortSocket(); });
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.FirstUnsent(), 0);
    ASSERT_TRUE(RunUntil([&] { return got.size() == data.size(); }));
    close(peer);
}

TEST_F(WSocketTest, FlushSleepsWhileThePeerIsSlowInsteadOfSpinning) {
    Listener server(true);
    Recorder rec;
    ProbeSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    SmallBuffers(s.HSocket());
    std::string data(1 << 20, 's');
    s.Send(data.data(), static_cast<int>(data.size()));
    ASSERT_FALSE(s.AllSent());
    // The peer reads nothing for half a second, then everything.
    std::string got;
    bool reading = false;
    platform::HWND later = 0;
    later = platform::AllocateHWnd([&](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == platform::WM_TIMER && !reading) {
            reading = true;
            platform::KillTimer(later, 1);
            platform::WatchFd(peer, EPOLLIN, [&](std::uint32_t) { got += ReadAvailable(peer); });
        }
        return platform::LRESULT{0};
    });
    platform::SetTimer(later, 1, 500);
    testsupport::TWatchdog dog(10000, [&] { s.AbortSocket(); });
    double cpu = CpuSeconds();
    s.Flush();
    EXPECT_LT(CpuSeconds() - cpu, 0.3) << "Flush spun while the platform could take nothing";
    EXPECT_TRUE(s.AllSent());
    EXPECT_TRUE(reading);
    ASSERT_TRUE(RunUntil([&] { return got.size() == data.size(); }));
    platform::UnwatchFd(peer);
    platform::DeallocateHWnd(later);
    close(peer);
}

TEST_F(WSocketTest, SendWhileConnectingReportsNotConnectedAndClosesTheSocket) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(server.PortText());
    s.Connect();
    ASSERT_EQ(s.State(), wsConnecting);
    EXPECT_EQ(ErrorOf([&] { s.SendText("early"); }),
              "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(rec.closed, 0) << "no session-closed event for this close";

    int errors = 0;
    s.OnError = [&](base::TObject*) { ++errors; };
    EXPECT_EQ(s.SendText("again"), -1);
    EXPECT_EQ(errors, 1);
}

TEST_F(WSocketTest, ASendOfNothingReturnsZeroAndDataSentStillComesFromTheLoop) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    s.SendText("x");
    ASSERT_TRUE(RunUntil([&] { return rec.sent == 2; }));
    EXPECT_EQ(s.Send(nullptr, 0), 0);
    EXPECT_EQ(rec.sent, 2);
    ASSERT_TRUE(RunUntil([&] { return rec.sent == 3; }));
    EXPECT_EQ(ReadAvailable(peer), "x");
    close(peer);
}

TEST_F(WSocketTest, DataSentHandlerMaySendAgainWithoutDuplicatingBytes) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    int chunks = 0;
    s.OnDataSent = [&](base::TObject*, std::uint16_t) {
        if (chunks < 5) s.SendText(std::to_string(chunks++));
    };
    // OnSendData calling Send must not hand the same bytes out twice.
    bool dashSent = false;
    s.OnSendData = [&](base::TObject*, int) {
        if (chunks == 2 && !dashSent) {
            dashSent = true;
            s.SendText("-");
        }
    };
    s.SendText("go");
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        got += ReadAvailable(peer);
        return chunks == 5 && got.find('4') != std::string::npos;
    }));
    RunFor(30);
    got += ReadAvailable(peer);
    EXPECT_EQ(got, "go01-234");
    close(peer);
}

TEST_F(WSocketTest, AFailingSendDataHandlerNeitherStallsTheChainNorSendsBytesTwice) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    bool fail = true;
    s.OnSendData = [&](base::TObject*, int) {
        if (fail) {
            fail = false;
            throw base::Exception("byte counter full");
        }
    };
    EXPECT_THROW(s.SendText("abc"), base::Exception) << "an event's exception reaches the caller";
    EXPECT_EQ(s.SendText("def"), 3);
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        got += ReadAvailable(peer);
        return got.size() >= 6;
    }));
    RunFor(30);
    got += ReadAvailable(peer);
    EXPECT_EQ(got, "abcdef");
    close(peer);
}

TEST_F(WSocketTest, ASendDataHandlerThatClosesTheSocketEndsTheDrainWithoutAReport) {
    Listener server;
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    int peer = ConnectTo(s, server, rec);
    s.OnSendData = [&](base::TObject*, int) { s.Close(); };
    std::string data(3000, 'c');
    EXPECT_EQ(ErrorOf([&] { s.Send(data.data(), 3000); }), "(no exception)");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(rec.closed, 1);
    EXPECT_EQ(rec.lastClose, 0);
    close(peer);
}

TEST_F(WSocketTest, AConnectThatFailsAtOnceNamesTheFunctionAndLeavesTheSocketOpen) {
    Recorder rec;
    TWSocket s;
    rec.Attach(s);
    s.SetAddr("255.255.255.255");  // a stream cannot go to the broadcast address: no packet leaves
    s.SetPort("80");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Error 10051 in function Connect\r\nNetwork is unreachable");
    EXPECT_EQ(s.LastError(), 10051);
    EXPECT_EQ(s.State(), wsOpened) << "the caller closes";
    s.Close();
    EXPECT_EQ(rec.log, (std::vector<std::string>{"state 7>1", "state 1>7", "closed 0"}));
}
