// Name lookups against a name server the test runs on 127.0.0.1: every
// address of an answer in order (IPv4 before IPv6), the lookup codes of the
// failures, the time-out through the loop's timer, a cancelled lookup whose
// answer arrives late and is dropped, and the HTTP client going on to the
// next address of a name when one refuses, and a name in another script
// asked for, and sent, in its ASCII form.
#include "platform/AsyncLookup.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <iostream>
#include <string>
#include <vector>

#include "SocketPeer.h"
#include "base/Stream.h"
#include "net/HttpProt.h"
#include "net/WSocket.h"
#include "platform/AsyncSelect.h"

using namespace sockettest;

namespace {

// A scripted name server on UDP 127.0.0.1: it answers a query for A records
// with the IPv4 addresses it is given and one for AAAA records with the IPv6
// ones, with the response code it is given, or keeps the queries unanswered
// until Release().
class NameServer {
public:
    NameServer() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sin = Loopback(0);
        bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        port_ = LocalPort(fd_);
        platform::WatchFd(fd_, EPOLLIN, [this](std::uint32_t) { OnQuery(); });
    }
    ~NameServer() {
        platform::UnwatchFd(fd_);
        close(fd_);
    }
    std::string Servers() const { return "127.0.0.1:" + std::to_string(port_); }

    std::vector<std::string> Addresses;  // dotted, or IPv6 text
    int Rcode = 0;
    bool Silent = false;  // never answer
    bool Hold = false;    // keep the query until Release()
    int Queries = 0;
    std::string Asked;  // the name of the last question, dotted

    void Release() {
        for (const std::string& q : held_) Answer(q, heldFrom_);
        held_.clear();
    }

private:
    void OnQuery() {
        char buf[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 12) return;
        ++Queries;
        std::string query(buf, static_cast<std::size_t>(n));
        Asked.clear();
        for (std::size_t p = 12; p < query.size() && query[p] != 0;
             p += 1 + static_cast<unsigned char>(query[p]))
            Asked += (Asked.empty() ? "" : ".") + query.substr(p + 1, static_cast<unsigned char>(query[p]));
        if (Silent) return;
        if (Hold) {
            held_.push_back(query);
            heldFrom_ = from;
            return;
        }
        Answer(query, from);
    }

    void Answer(const std::string& query, const sockaddr_in& to) {
        // The question ends after its name (labels up to a zero byte) and
        // four bytes of type and class.
        std::size_t p = 12;
        while (p < query.size() && query[p] != 0) p += 1 + static_cast<unsigned char>(query[p]);
        const bool aaaa = p + 2 < query.size() && query[p + 2] == 28;
        p += 5;
        std::vector<std::string> answers;
        for (const std::string& a : Addresses)
            if ((a.find(':') != std::string::npos) == aaaa) answers.push_back(a);
        std::string out = query.substr(0, 2);
        out += static_cast<char>(0x81);  // a response, recursion desired
        out += static_cast<char>(0x80 | Rcode);
        out += std::string("\0\1", 2);  // one question
        std::uint16_t an = Rcode == 0 ? static_cast<std::uint16_t>(answers.size()) : 0;
        out += static_cast<char>(an >> 8);
        out += static_cast<char>(an & 0xFF);
        out += std::string(4, '\0');
        out += query.substr(12, p - 12);
        for (std::uint16_t i = 0; i < an; ++i) {
            // the name, A or AAAA, IN, TTL 60, the address
            out += std::string("\xC0\x0C\0", 3) + static_cast<char>(aaaa ? 28 : 1) +
                   std::string("\0\1\0\0\0\x3C\0", 7);
            unsigned char a[16] = {};
            inet_pton(aaaa ? AF_INET6 : AF_INET, answers[i].c_str(), a);
            out += static_cast<char>(aaaa ? 16 : 4);
            out.append(reinterpret_cast<const char*>(a), aaaa ? 16 : 4);
        }
        sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::string> held_;
    sockaddr_in heldFrom_{};
};

// Points lookups at the test's server for the length of a test.
class AsyncLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::LookupOptions o;
        o.Servers = dns.Servers();
        o.TimeoutMs = 200;
        o.Tries = 1;
        platform::SetLookupOptions(o);
    }
    void TearDown() override {
        platform::SetLookupOptions({});
        RunFor(10);
        EXPECT_EQ(platform::LookupCount(), 0);
        EXPECT_EQ(platform::Counts().timers, 0);
        EXPECT_EQ(platform::Counts().watches, 1) << "only the name server's own";
    }

    struct Outcome {
        int calls = 0;
        std::uint16_t error = 0xFFFF;
        std::vector<std::string> list;
        std::string result;
    };

    // Looks the name up with a socket and waits (bounded) for the outcome.
    Outcome Lookup(const std::string& name) {
        Outcome out;
        net::TWSocket s;
        s.OnDnsLookupDone = [&](base::TObject*, std::uint16_t e) {
            ++out.calls;
            out.error = e;
            out.list = s.DnsResultList();
            out.result = s.DnsResult();
        };
        s.DnsLookup(name);
        EXPECT_TRUE(RunUntil([&] { return out.calls > 0; }));
        return out;
    }

    NameServer dns;
};

}  // namespace

TEST_F(AsyncLookupTest, AnAnswerGivesEveryAddressInOrderIPv4First) {
    struct Row {
        std::vector<std::string> served;
        std::vector<std::string> list;
        const char* what;
    } rows[] = {
        {{"10.1.2.3", "10.1.2.4", "192.0.2.77"}, {"10.1.2.3", "10.1.2.4", "192.0.2.77"}, "IPv4 only"},
        {{"2001:db8::5", "2001:db8::6"}, {"2001:db8::5", "2001:db8::6"}, "IPv6 only"},
        {{"2001:db8::5", "10.1.2.3"}, {"10.1.2.3", "2001:db8::5"}, "both: IPv4 first"},
    };
    for (const Row& r : rows) {
        dns.Addresses = r.served;
        Outcome o = Lookup("pool.sentrel.test");
        EXPECT_EQ(o.error, 0) << r.what;
        EXPECT_EQ(o.result, r.list.front()) << r.what;
        EXPECT_EQ(o.list, r.list) << r.what;
    }
}

TEST_F(AsyncLookupTest, AddressesAreTheirOwnAnswerAndBracketsNeverReachTheServer) {
    struct Row {
        const char* name;
        std::uint16_t error;
        const char* result;
    } rows[] = {
        {"010.0.0.1", 0, "10.0.0.1"},
        {"::1", 0, "::1"},
        {"[::1]", 0, "::1"},
        {"[2001:DB8:0:0::5]", 0, "2001:db8::5"},
        {"[pool.sentrel.test]", 11001, ""},
    };
    dns.Addresses = {"10.1.2.3"};
    for (const Row& r : rows) {
        Outcome o = Lookup(r.name);
        EXPECT_EQ(o.error, r.error) << r.name;
        EXPECT_EQ(o.result, r.result) << r.name;
    }
    EXPECT_EQ(dns.Queries, 0);
}

TEST_F(AsyncLookupTest, FailuresGiveTheLookupCodes) {
    struct Row {
        int rcode;
        std::vector<std::string> addresses;
        std::uint16_t code;
        const char* why;
    } rows[] = {
        {3, {}, 11001, "no such name"},
        {0, {}, 11004, "the name has no address"},
        {2, {}, 11002, "server failure: try again"},
        {5, {}, 11002, "refused: the resolver gives up as on a failing server"},
    };
    for (const Row& r : rows) {
        dns.Rcode = r.rcode;
        dns.Addresses = r.addresses;
        Outcome o = Lookup("nothing.sentrel.test");
        EXPECT_EQ(o.error, r.code) << r.why;
        EXPECT_EQ(o.calls, 1) << r.why;
        EXPECT_TRUE(o.list.empty()) << r.why;
    }
}

TEST_F(AsyncLookupTest, ASilentServerTimesOutThroughTheLoopTimer) {
    dns.Silent = true;
    Outcome o = Lookup("silent.sentrel.test");
    EXPECT_GE(dns.Queries, 1);
    EXPECT_EQ(o.error, 11002);
}

TEST_F(AsyncLookupTest, ACancelledLookupsLateAnswerIsDropped) {
    dns.Hold = true;
    dns.Addresses = {"10.9.9.9"};
    net::TWSocket s;
    std::vector<std::uint16_t> done;
    s.OnDnsLookupDone = [&](base::TObject*, std::uint16_t e) { done.push_back(e); };
    s.DnsLookup("late.sentrel.test");
    ASSERT_TRUE(RunUntil([&] { return dns.Queries >= 1; }));
    s.CancelDnsLookup();
    EXPECT_EQ(done, (std::vector<std::uint16_t>{10004}));
    dns.Release();  // the answer arrives after all
    RunFor(100);
    EXPECT_EQ(done, (std::vector<std::uint16_t>{10004}));
    EXPECT_EQ(s.DnsResult(), "");
}

TEST_F(AsyncLookupTest, LookupsRunSideBySideAndEndIndependently) {
    dns.Hold = true;
    dns.Addresses = {"10.0.0.7"};
    platform::LookupReply a, b;
    std::vector<std::pair<platform::WPARAM, std::uint16_t>> seen;
    platform::HWND wnd = platform::AllocateHWnd([&](platform::UINT, platform::WPARAM w, platform::LPARAM l) {
        seen.push_back({w, platform::SelectError(l)});
        return platform::LRESULT{0};
    });
    int err = 0;
    std::uint32_t ha = platform::AsyncGetHostByName(wnd, platform::WM_USER + 2, "a.sentrel.test", &a, &err);
    std::uint32_t hb =
        platform::AsyncGetHostByName(wnd, platform::WM_USER + 2, "b.sentrel.invalid", &b, &err);
    ASSERT_NE(ha, 0u);
    ASSERT_NE(hb, 0u);
    EXPECT_NE(ha, hb);
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 1 && dns.Queries >= 1; }));
    EXPECT_EQ(seen[0], (std::pair<platform::WPARAM, std::uint16_t>{hb, 11001}));
    dns.Release();
    ASSERT_TRUE(RunUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[1], (std::pair<platform::WPARAM, std::uint16_t>{ha, 0}));
    ASSERT_EQ(a.Addresses.size(), 1u);
    EXPECT_EQ(platform::CancelAsyncRequest(ha), 10022) << "nothing pending any more";
    platform::DeallocateHWnd(wnd);
}

// A name with an IPv4 and an IPv6 address, served on ::1 only: the IPv4
// address refuses and the client goes on to the IPv6 one.
TEST_F(AsyncLookupTest, TheClientFailsOverToTheNextAddressOfAName) {
    if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no ::1";
    net::TWSocket listener, conn;
    listener.OnSessionAvailable = [&](base::TObject*, std::uint16_t) { conn.Dup(listener.Accept()); };
    conn.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
        if (conn.ReceiveText().find("\r\n\r\n") == std::string::npos) return;
        conn.SendText("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
        conn.Flush();
        conn.Close();
    };
    listener.SetAddr("::1");
    listener.SetPort("0");
    listener.Listen();
    const std::string port = listener.GetXPort();
    // A listener whose queue is full drops further connects without a word:
    // the client gives that address ConnectAttemptLimit and goes on.
    int silent = -1, filler = -1;
    auto makeSilent = [&] {
        silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin = Loopback(static_cast<std::uint16_t>(std::stoi(port)));
        if (bind(silent, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(silent, 0) != 0)
            return false;
        filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return connect(filler, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    };
    struct Row {
        std::vector<std::string> served;
        bool silentIPv4;
        const char* what;
    } rows[] = {
        {{"127.0.0.1", "::1"}, false, "IPv4 refuses, IPv6 answers"},
        {{"::1"}, false, "IPv6 only"},
        {{"127.0.0.1", "::1"}, true, "IPv4 never answers, IPv6 does"},
    };
    for (const Row& r : rows) {
        if (r.silentIPv4 && !makeSilent()) {
            std::cout << "skipped \"" << r.what << "\": no silent listener at 127.0.0.1:" << port << "\n";
            continue;
        }
        dns.Addresses = r.served;
        net::THttpCli http;
        base::TMemoryStream body;
        http.ReceiveStream = &body;
        http.Timeout = 10;
        http.ConnectAttemptLimit = 300;
        http.URL = "http://dual.sentrel.test:" + port + "/";
        std::string error;
        try {
            http.Get();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, "") << r.what;
        EXPECT_EQ(body.DataString(), "hello") << r.what;
        EXPECT_EQ(http.PhaseTimes().IpVersion, 6) << r.what << ": the address that answered";
    }
    if (filler >= 0) close(filler);
    if (silent >= 0) close(silent);
    listener.Close();
}

// A name typed in another script is asked for and sent in the Host header in
// its ASCII form; one without such a form is never asked for.
TEST_F(AsyncLookupTest, ANameInAnotherScriptGoesOutInItsAsciiForm) {
    net::TWSocket listener, conn;
    std::string request;
    listener.OnSessionAvailable = [&](base::TObject*, std::uint16_t) { conn.Dup(listener.Accept()); };
    conn.OnDataAvailable = [&](base::TObject*, std::uint16_t) {
        request += conn.ReceiveText();
        if (request.find("\r\n\r\n") == std::string::npos) return;
        conn.SendText("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
        conn.Flush();
        conn.Close();
    };
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.Listen();
    const std::string port = listener.GetXPort();
    dns.Addresses = {"127.0.0.1"};
    struct Row {
        const char* typed;
        const char* asked;  // nullptr: never asked, the request fails
    } rows[] = {
        {"bücher.sentrel.test", "xn--bcher-kva.sentrel.test"},
        {"ПРИМЕР.sentrel.test", "xn--e1afmkfd.sentrel.test"},
        {"-bücher.sentrel.test", nullptr},
        {"b\xfc"
         "cher.sentrel.test",
         nullptr},  // Latin-1, not UTF-8
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.typed);
        request.clear();
        dns.Asked.clear();
        const int queries = dns.Queries;
        net::THttpCli http;
        base::TMemoryStream body;
        http.ReceiveStream = &body;
        http.Timeout = 10;
        http.URL = std::string("http://") + r.typed + ":" + port + "/";
        std::string error;
        try {
            http.Get();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!r.asked) {
            EXPECT_EQ(error, "invalid international host name");
            EXPECT_EQ(http.LastRequestError(), net::httperrInvalidHost);
            EXPECT_EQ(dns.Queries, queries);
            continue;
        }
        EXPECT_EQ(error, "");
        EXPECT_EQ(dns.Asked, r.asked);
        EXPECT_NE(request.find(std::string("\r\nHost: ") + r.asked + ":" + port + "\r\n"), std::string::npos)
            << request;
        EXPECT_EQ(http.EffectiveUrl(), http.URL) << "shown as typed";
        EXPECT_EQ(http.PhaseTimes().IpVersion, 4);
    }
    listener.Close();
}
