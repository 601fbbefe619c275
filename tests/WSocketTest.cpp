// TWSocket against peers on 127.0.0.1 that the test opens: the order of
// state changes and events for connect, send, receive and close; refused
// connections, resets, data split at every byte; the send chain's blocks,
// Flush and OnDataSent; lookups and their cancelling; the error reports in
// their words; and everything released afterwards.
#include "net/WSocket.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "SocketPeer.h"
#include "platform/AsyncLookup.h"
#include "platform/AsyncSelect.h"
#include "support/Watchdog.h"

using namespace net;
using namespace sockettest;

namespace {

// Exposes the send chain for the block tests.
class ProbeSocket : public TWSocket {
public:
    std::size_t Blocks() const { return bufList_.size(); }
    std::int32_t FirstUnsent() const {
        std::int32_t n = 0;
        if (!bufList_.empty()) bufList_.front()->PeekData(n);
        return n;
    }
};

// Records the events of a socket as short lines, in order.
struct Recorder {
    std::vector<std::string> log;
    std::string received;
    std::vector<int> sendData;
    int connected = 0, closed = 0, sent = 0, dns = 0, data = 0, errors = 0;
    std::uint16_t lastClose = 0xFFFF, lastDns = 0xFFFF, lastConnect = 0xFFFF;
    bool readData = true;

    void Attach(TCustomWSocket& s) {
        s.OnChangeState = [this](base::TObject*, TSocketState a, TSocketState b) {
            log.push_back("state " + std::to_string(a) + ">" + std::to_string(b));
        };
        s.OnSessionConnected = [this](base::TObject*, std::uint16_t e) {
            ++connected;
            lastConnect = e;
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](base::TObject*, std::uint16_t e) {
            ++closed;
            lastClose = e;
            log.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](base::TObject*, std::uint16_t e) {
            ++sent;
            log.push_back("sent " + std::to_string(e));
        };
        s.OnSendData = [this](base::TObject*, int n) { sendData.push_back(n); };
        s.OnDnsLookupDone = [this](base::TObject*, std::uint16_t e) {
            ++dns;
            lastDns = e;
            log.push_back("dns " + std::to_string(e));
        };
        s.OnDataAvailable = [this, &s](base::TObject*, std::uint16_t) {
            ++data;
            if (!readData) return;
            char buf[4096];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        };
    }
    // The log without the data and data-sent lines, whose number depends on timing.
    std::vector<std::string> Milestones() const {
        std::vector<std::string> out;
        for (auto& l : log)
            if (l.rfind("sent", 0) != 0) out.push_back(l);
        return out;
    }
};

// Processor time of the whole process, to tell a wait that sleeps from one that spins.
double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

// Every test ends with the loop, the readiness registry, the lookups and the
// socket library released.
class WSocketTest : public ::testing::Test {
protected:
    void TearDown() override {
        RunFor(10);
        EXPECT_EQ(platform::Counts().targets, 0);
        EXPECT_EQ(platform::Counts().timers, 0);
        EXPECT_EQ(platform::Counts().watches, 0);
        EXPECT_EQ(platform::AsyncSelectCount(), 0);
        EXPECT_EQ(platform::LookupCount(), 0);
        EXPECT_EQ(WSocketCount(), 0);
        EXPECT_FALSE(SocketLibraryLoaded());
    }

    // Connects s to the listener and returns the peer's end, once the
    // connect and its first write notification have been handled.
    int ConnectTo(TCustomWSocket& s, Listener& server, Recorder& rec) {
        s.SetAddr("127.0.0.1");
        s.SetPort(server.PortText());
        s.Connect();
        int peer = server.Accept();
        EXPECT_TRUE(RunUntil([&] { return rec.connected == 1 && rec.sent >= 1; }));
        return peer;
    }
};

}  // namespace

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
// wsLingerNoSet), keep-alive and address reuse.
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
