// The levels above the base socket: the SOCKS 4/4A/5 negotiation against a
// scripted proxy on 127.0.0.1, and line mode (lines split across reads,
// editing and echo, the last line at close, switching modes).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SocketPeer.h"
#include "net/WSocket.h"

using namespace net;
using namespace sockettest;

namespace {

// Reads from the peer until n bytes have come (the loop keeps running).
std::string Expect(int peer, std::size_t n) {
    std::string got;
    RunUntil([&] {
        got += ReadAvailable(peer);
        return got.size() >= n;
    });
    return got;
}

struct Events {
    std::vector<std::string> log;
    std::string received;
    void Attach(TWSocket& s) {
        s.OnSocksConnected = [this](base::TObject*, std::uint16_t e) {
            log.push_back("socks " + std::to_string(e));
        };
        s.OnSocksAuthState = [this](base::TObject*, TSocksAuthState a) {
            log.push_back("auth " + std::to_string(a));
        };
        s.OnSocksError = [this](base::TObject*, int e, const std::string& m) {
            log.push_back("error " + std::to_string(e) + " " + m);
        };
        s.OnSessionConnected = [this](base::TObject*, std::uint16_t e) {
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](base::TObject*, std::uint16_t e) {
            log.push_back("closed " + std::to_string(e));
        };
        s.OnDataAvailable = [this, &s](base::TObject*, std::uint16_t) {
            char buf[256];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) {
                received.append(buf, static_cast<std::size_t>(n));
                log.push_back("data " + std::string(buf, static_cast<std::size_t>(n)));
            }
        };
    }
};

void ThroughProxy(TWSocket& s, Listener& proxy, const std::string& level,
                  const std::string& addr = "www.sentrel.test") {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(proxy.PortText());
    s.SetSocksLevel(level);
    s.SetAddr(addr);
    s.SetPort("80");
    s.Connect();
}

const std::string kPort80("\0\x50", 2);

}  // namespace

TEST(Socks5, ConnectReplyWithApplicationBytesBehindIt) {
    // The address the proxy bound comes in any of its three forms.
    const std::string replies[] = {
        std::string("\5\0\0\1\x7f\0\0\1\x1f\x90", 10),                           // IPv4
        std::string("\5\0\0\3\4host\x1f\x90", 11),                               // a name
        std::string("\5\0\0\4", 4) + std::string(15, '\0') + "\1" + "\x1f\x90",  // IPv6 ::1
    };
    for (const std::string& reply : replies) {
        Listener proxy;
        Events ev;
        TWSocket s;
        ev.Attach(s);
        ThroughProxy(s, proxy, "5");
        int peer = proxy.Accept();
        EXPECT_EQ(Expect(peer, 3), std::string("\5\1\0", 3)) << "method request: no authentication";
        SendAll(peer, std::string("\5\0", 2));
        EXPECT_EQ(Expect(peer, 23), std::string("\5\1\0\3\x10", 5) + "www.sentrel.test" + kPort80);
        // The reply and the first bytes of the server, in one write.
        SendAll(peer, reply + "hello");
        ASSERT_TRUE(RunUntil([&] { return ev.received == "hello"; })) << reply.size();
        EXPECT_EQ(ev.log, (std::vector<std::string>{"socks 0", "connected 0", "data hello"}));
        s.Close();
        EXPECT_EQ(s.SocksServer(), "") << "a close forgets the proxy";
        close(peer);
    }
}

TEST(Socks5, UserAndPasswordPassedRejectedOrNotNeeded) {
    // The proxy's method choice (2 user/password, 0 none) and its verdict.
    struct Row {
        char method;
        bool accept;
        std::vector<std::string> log;
    } rows[] = {
        {2, true, {"socks 0", "auth 0", "auth 1", "connected 0"}},
        {2,
         false,
         {"socks 0", "auth 0", "auth 2", "error 20015 socks authentication failed", "connected 20015",
          "closed 20015"}},
        {0, true, {"socks 0", "auth 3", "connected 0"}},
    };
    for (const Row& r : rows) {
        Listener proxy;
        Events ev;
        TWSocket s;
        ev.Attach(s);
        s.SocksAuthentication = socksAuthenticateUsercode;
        s.SocksUsercode = "ann";
        s.SocksPassword = "pw";
        ThroughProxy(s, proxy, "5");
        int peer = proxy.Accept();
        EXPECT_EQ(Expect(peer, 4), std::string("\5\2\0\2", 4)) << "both methods are offered";
        SendAll(peer, std::string("\5", 1) + r.method);
        if (r.method == 2) {
            EXPECT_EQ(Expect(peer, 8), std::string("\1\3ann\2pw", 8));
            SendAll(peer, r.accept ? std::string("\1\0", 2) : std::string("\1\1", 2));
        }
        if (r.accept) {
            Expect(peer, 23);
            SendAll(peer, std::string("\5\0\0\3\4host\0\x50", 11));
        }
        ASSERT_TRUE(RunUntil([&] { return ev.log.size() >= r.log.size(); })) << int(r.method);
        RunFor(20);
        EXPECT_EQ(ev.log, r.log) << int(r.method);
        s.Close();
        close(peer);
    }
}

TEST(Socks4, GrantedOrRejectedByReplyCode) {
    struct Row {
        const char* level;
        unsigned char code;
        std::vector<std::string> log;
    } rows[] = {
        {"4", 90, {"socks 0", "connected 0"}},
        {"4", 91, {"socks 0", "error 20016 request rejected or failed", "connected 20016", "closed 20016"}},
        {"4A", 92, {"socks 0", "error 20008 connection refused", "connected 20008", "closed 20008"}},
        {"4A", 7, {"socks 0", "error 20012 unassigned error #7", "connected 20012", "closed 20012"}},
    };
    for (const Row& r : rows) {
        Listener proxy;
        Events ev;
        TWSocket s;
        ev.Attach(s);
        s.SocksUsercode = "u";
        bool four = std::string(r.level) == "4";
        // SOCKS 4 sends the address, 4A the name behind the placeholder 0.0.0.1.
        ThroughProxy(s, proxy, r.level, four ? "127.0.0.1" : "www.sentrel.test");
        int peer = proxy.Accept();
        std::string want = std::string("\4\1", 2) + kPort80 +
                           (four ? std::string("\x7f\0\0\1u\0", 6)
                                 : std::string("\0\0\0\1u\0", 6) + "www.sentrel.test" + std::string(1, '\0'));
        EXPECT_EQ(Expect(peer, want.size()), want) << r.level;
        SendAll(peer, std::string("\0", 1) + static_cast<char>(r.code) + std::string(6, '\0'));
        ASSERT_TRUE(RunUntil([&] { return ev.log.size() >= r.log.size(); })) << int(r.code);
        RunFor(20);
        EXPECT_EQ(ev.log, r.log) << int(r.code);
        s.Close();
        close(peer);
    }
}

TEST(Socks, RefusesUdpAndListening) {
    TWSocket s;
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("1080");
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort("53");
    int errors = 0;
    std::string msg;
    try {
        s.Connect();
    } catch (const ESocketException& e) {
        msg = e.what();
    }
    EXPECT_EQ(msg, "tcp is the only protocol supported thru socks server");
    s.OnError = [&](base::TObject*) { ++errors; };
    s.Listen();
    EXPECT_EQ(errors, 1);
}

// ---------------------------------------------------------------------------
// Line mode

namespace {

// A connected socket in line mode and the peer's end.
struct LinePair {
    Listener server;
    Events ev;
    TWSocket s;
    int peer = -1;
    explicit LinePair(bool edit = false, bool echo = false) {
        ev.Attach(s);
        s.SetLineMode(true);
        s.LineEdit = edit;
        s.LineEcho = echo;
        s.SetAddr("127.0.0.1");
        s.SetPort(server.PortText());
        s.Connect();
        peer = server.Accept();
        RunUntil([&] { return s.State() == wsConnected; });
    }
    ~LinePair() {
        s.Close();
        close(peer);
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (auto& l : ev.log)
            if (l.rfind("data ", 0) == 0) out.push_back(l.substr(5));
        return out;
    }
};

}  // namespace

TEST(LineMode, LinesSplitAcrossReadsArriveOneByOne) {
    LinePair p;
    SendAll(p.peer, "ab\r");
    RunFor(30);
    EXPECT_TRUE(p.Lines().empty()) << "no line end yet";
    SendAll(p.peer, "\ncd\r\n");
    ASSERT_TRUE(RunUntil([&] { return p.Lines().size() == 2; }));
    EXPECT_EQ(p.Lines(), (std::vector<std::string>{"ab\r\n", "cd\r\n"}));
}

TEST(LineMode, WithoutAHandlerLinesAreDropped) {
    LinePair p;
    p.s.OnDataAvailable = nullptr;
    SendAll(p.peer, "one\r\ntwo\r\n");
    RunFor(50);
    EXPECT_EQ(p.s.LineBufCount(), 0);
}

TEST(LineMode, EditingAppliesBackspacesAndTabsAndEchoesThem) {
    LinePair p(true, true);
    SendAll(p.peer, "abc\b\bx\r\n");
    ASSERT_TRUE(RunUntil([&] { return p.Lines().size() == 1; }));
    EXPECT_EQ(p.Lines()[0], "ax\r\n");
    EXPECT_EQ(Expect(p.peer, 12), "abc\b \b\b \bx\r\n");
    SendAll(p.peer, "abc\tz\r\n");
    ASSERT_TRUE(RunUntil([&] { return p.Lines().size() == 2; }));
    EXPECT_EQ(p.Lines()[1], "abc     z\r\n") << "a tab at column 3 is five blanks";
}

TEST(LineMode, WhatIsHeldAtCloseIsTheLastLine) {
    LinePair p;
    SendAll(p.peer, "line\r\nxyz");
    close(p.peer);
    p.peer = -1;
    ASSERT_TRUE(RunUntil([&] { return p.s.State() == wsClosed; }));
    EXPECT_EQ(p.Lines(), (std::vector<std::string>{"line\r\n", "xyz"}));
}

// Bytes still held when the connection ends (a handler that did not take
// them) belong to that connection: the next one starts without them.
TEST(LineMode, BytesHeldAtACloseAreGoneAfterReconnecting) {
    for (bool peerCloses : {false, true}) {
        SCOPED_TRACE(peerCloses ? "the peer closes" : "we close");
        LinePair p;
        bool reading = false;
        p.s.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
            if (!reading) return;
            char buf[256];
            const int n = p.s.Receive(buf, sizeof buf);
            if (n > 0) p.ev.log.push_back("data " + std::string(buf, static_cast<std::size_t>(n)));
        };
        SendAll(p.peer, "stale");
        ASSERT_TRUE(RunUntil([&] { return p.s.LineBufCount() == 5; }));
        if (peerCloses) {
            close(p.peer);
            p.peer = -1;
            ASSERT_TRUE(RunUntil([&] { return p.s.State() == wsClosed; }));
        } else {
            p.s.Close();
            close(p.peer);
        }
        reading = true;
        p.s.SetLineMode(true);  // a close forgets the address, the port and the mode
        p.s.SetAddr("127.0.0.1");
        p.s.SetPort(p.server.PortText());
        p.s.Connect();
        p.peer = p.server.Accept();
        ASSERT_TRUE(RunUntil([&] { return p.s.State() == wsConnected; }));
        SendAll(p.peer, "fresh\r\n");
        ASSERT_TRUE(RunUntil([&] { return p.Lines().size() == 1; }));
        EXPECT_EQ(p.Lines()[0], "fresh\r\n");
    }
}

TEST(LineMode, SwitchedOffInTheHandlerTheRestIsReadInOrder) {
    LinePair p;
    std::string raw;
    p.s.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
        char buf[64];
        if (p.s.LineMode()) {
            int n = p.s.Receive(buf, 2);  // the first two bytes of the line only
            raw.append(buf, static_cast<std::size_t>(n));
            p.s.SetLineMode(false);
            return;
        }
        int n = p.s.Receive(buf, sizeof buf);
        if (n > 0) raw.append(buf, static_cast<std::size_t>(n));
    };
    SendAll(p.peer, "abcd\r\nrest");
    ASSERT_TRUE(RunUntil([&] { return raw == "abcd\r\nrest"; }));
}

TEST(LineMode, ReadInPiecesEveryLineArrivesWholeAndInOrder) {
    // Many lines in one burst, read in pieces of each size: the bytes come in
    // order and no call gets bytes of two lines.
    std::string burst;
    for (int i = 0; i < 20000; ++i)
        burst += "line " + std::to_string(i) + " " + std::string(i % 50, 'x') + "\r\n";
    for (int piece : {1, 3, 64, 4096}) {
        LinePair p;
        std::string got;
        int mixed = 0;
        p.s.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
            char buf[4096];
            int n = p.s.Receive(buf, piece);
            if (n <= 0) return;
            std::string chunk(buf, static_cast<std::size_t>(n));
            std::size_t end = chunk.find("\r\n");
            if (end != std::string::npos && end + 2 != chunk.size()) ++mixed;
            got += chunk;
        };
        SendAll(p.peer, burst);
        ASSERT_TRUE(RunUntil([&] { return got.size() >= burst.size(); })) << piece;
        EXPECT_EQ(got, burst) << piece;
        EXPECT_EQ(mixed, 0) << piece;
        EXPECT_EQ(p.s.LineBufCount(), 0) << piece;
    }
}

TEST(LineMode, ALineOverTheLimitClosesWithAnErrorAndKeepsNothing) {
    struct Row {
        const char* what;
        std::string data;
        bool closes;
    } rows[] = {
        {"exactly the limit, line end included", std::string(14, 'a') + "\r\n", false},
        {"no line end in more than the limit", std::string(40, 'a'), true},
        {"a line end in the same read, too late", std::string(20, 'a') + "\r\n", true},
        {"held bytes at the limit with no line end", std::string(16, 'a'), true},
    };
    for (const Row& r : rows) {
        LinePair p;
        p.s.LineLimit = 16;
        std::string bg;
        p.s.OnBgException = [&](base::TObject*, const std::exception& e, bool&) { bg = e.what(); };
        SendAll(p.peer, r.data);
        if (!r.closes) {
            ASSERT_TRUE(RunUntil([&] { return p.Lines().size() == 1; })) << r.what;
            EXPECT_EQ(p.s.State(), wsConnected) << r.what;
            continue;
        }
        ASSERT_TRUE(RunUntil([&] { return p.s.State() == wsClosed; })) << r.what;
        EXPECT_EQ(p.ev.log.back(), "closed 10040") << r.what;
        EXPECT_EQ(bg, "Line too long: no line end within 16 bytes") << r.what;
        EXPECT_TRUE(p.Lines().empty()) << r.what << ": nothing of it is delivered";
        EXPECT_EQ(p.s.LineBufCount(), 0) << r.what;
    }
}
