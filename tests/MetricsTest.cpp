// The words of a pass and its metrics: the tray's summary, the exposition
// text (labels escaped, a series per pool entry, the certificate family for
// https hosts only) and what the metrics server makes of a request header.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "app/core/PassOutcome.h"
#include "app/core/sform.h"
#include "app/serve/Metrics.h"
#include "app/serve/MetricsServer.h"
#include "platform/AsyncSelect.h"
#include "platform/MessageLoop.h"

using app::THostOutcome;
using app::TPassOutcome;

namespace {

TPassOutcome Pass(std::vector<THostOutcome> hosts) {
    TPassOutcome p;
    p.Hosts = std::move(hosts);
    p.Passed = p.FailedCount() == 0;
    p.EndTime = 1700000000.25;
    return p;
}

THostOutcome Host(std::string name, bool passed, int warnDays = -1) {
    THostOutcome h;
    h.Host = std::move(name);
    h.Passed = passed;
    h.CertDaysLeft = warnDays;
    return h;
}

// Runs the loop until pred holds; false when it never did (a generous bound
// for a loaded machine, not a speed requirement).
bool PumpUntil(const std::function<bool()>& pred) {
    for (int i = 0; i < 4000 && !pred(); ++i)
        if (!platform::ProcessMessages()) platform::WaitMessage(5);
    return pred();
}

int Dial(const std::string& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

// What has arrived on fd without waiting; "<closed>" appended once the
// server has closed it.
std::string Arrived(int fd) {
    std::string got;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return got;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return got + "<closed>";
        got.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace

TEST(PassWords, PoolSummaryForTheTrayTip) {
    struct Row {
        std::vector<THostOutcome> hosts;
        std::string tip;
    } rows[] = {
        {{}, "Sentrel: no active hosts"},
        {{Host("a", true)}, "Sentrel: 1 host up"},
        {{Host("a", true), Host("b", true), Host("c", true), Host("d", true), Host("e", true)},
         "Sentrel: all 5 hosts up"},
        {{Host("a", false), Host("b", true), Host("c", false), Host("d", true), Host("e", true)},
         "Sentrel: 2 of 5 hosts down"},
        {{Host("a", true, 3), Host("b", true)}, "Sentrel: all 2 hosts up, 1 certificate expires soon"},
    };
    EXPECT_EQ(app::PoolSummary(nullptr), "Sentrel: not checked yet");
    for (const Row& r : rows) {
        TPassOutcome p = Pass(r.hosts);
        EXPECT_EQ(app::PoolSummary(&p), r.tip);
    }
    EXPECT_EQ(app::DaysLeft(1000 + 4 * 86400 + 1, 1000), 5);  // a part of a day counts whole
    EXPECT_EQ(app::DaysLeft(1000, 2000), 0);
}

TEST(Metrics, ExpositionTextOfAPass) {
    THostOutcome tls = Host("https://a\"b\\c/", true);
    tls.Seconds = 0.5;
    tls.StatusCode = 200;
    tls.CertExpiry = 1800000000;
    tls.Slot = 3;
    tls.Fetched = true;
    tls.Phases.Seconds[net::TPhaseTimes::Lookup] = 0.001;
    tls.Phases.Seconds[net::TPhaseTimes::Connect] = 0.002;
    tls.Phases.Seconds[net::TPhaseTimes::Proxy] = 0.004;  // the tunnel is part of connecting
    tls.Phases.Seconds[net::TPhaseTimes::Tls] = 0.01;
    tls.Phases.Seconds[net::TPhaseTimes::FirstByte] = 0.02;
    tls.Phases.Seconds[net::TPhaseTimes::Transfer] = 0.03;
    tls.Phases.Hops = 3;
    tls.Phases.BodyBytes = 2345;
    THostOutcome down = Host("down", false);  // never fetched: no phases
    down.Down = true;                         // confirmed down; the entry that reads the same is not
    // The second "down" is another entry that reads the same (two URLs that
    // differ only in their hidden password): a series of its own. Entries
    // without a pool row take their place in the pass.
    TPassOutcome p = Pass({tls, down, Host("down", true)});
    p.Quiet = true;
    const std::string label = "{host=\"https://a\\\"b\\\\c/\",slot=\"3\"}";
    const std::string text = app::MetricsText(&p);
    for (const std::string& line :
         {"sentrel_probe_success" + label + " 1\n",
          std::string("sentrel_probe_success{host=\"down\",slot=\"2\"} 0\n"),
          std::string("sentrel_probe_success{host=\"down\",slot=\"3\"} 1\n"),
          "sentrel_probe_duration_seconds" + label + " 0.500000\n",
          "sentrel_probe_http_status_code" + label + " 200\n",
          std::string("sentrel_probe_http_status_code{host=\"down\",slot=\"2\"} 0\n"),
          "sentrel_probe_ssl_earliest_cert_expiry" + label + " 1800000000\n",
          std::string("sentrel_pass_timestamp_seconds 1700000000.250\n"),
          std::string("sentrel_pass_success 0\n"), std::string("# TYPE sentrel_probe_success gauge\n"),
          std::string("sentrel_host_down{host=\"down\",slot=\"2\"} 1\n"),
          std::string("sentrel_host_down{host=\"down\",slot=\"3\"} 0\n"),
          "sentrel_host_down" + label + " 0\n", std::string("sentrel_quiet 1\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    const std::string slot = "{host=\"https://a\\\"b\\\\c/\",slot=\"3\"";
    for (const std::string& line :
         {"sentrel_probe_phase_seconds" + slot + ",phase=\"lookup\"} 0.001000\n",
          "sentrel_probe_phase_seconds" + slot + ",phase=\"connect\"} 0.006000\n",
          "sentrel_probe_phase_seconds" + slot + ",phase=\"tls\"} 0.010000\n",
          "sentrel_probe_phase_seconds" + slot + ",phase=\"processing\"} 0.020000\n",
          "sentrel_probe_phase_seconds" + slot + ",phase=\"transfer\"} 0.030000\n",
          "sentrel_probe_http_redirects" + slot + "} 2\n",
          "sentrel_probe_http_content_length" + slot + "} 2345\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("sentrel_probe_phase_seconds{host=\"down\""), std::string::npos);
    EXPECT_EQ(text.find("sentrel_probe_ssl_earliest_cert_expiry{host=\"down\""), std::string::npos);
    // Label values: the format's three escapes, and bytes that are not
    // UTF-8 (a stray byte, a cut sequence, an overlong form, a surrogate)
    // as the text \xHH; well-formed UTF-8 stays as it is.
    struct Row {
        std::string in, out;
    } rows[] = {
        {"a\nb", "a\\nb"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"caf\xe9", "caf\\\\xE9"},
        {"\xe2\x82", "\\\\xE2\\\\x82"},
        {"\xc0\xaf", "\\\\xC0\\\\xAF"},
        {"\xe0\x9f\xbf", "\\\\xE0\\\\x9F\\\\xBF"},  // U+07FF written in three bytes
        {"\xed\xa0\x80", "\\\\xED\\\\xA0\\\\x80"},
        {"\xf4\x90\x80\x80", "\\\\xF4\\\\x90\\\\x80\\\\x80"},
    };
    for (const Row& r : rows) EXPECT_EQ(app::EscapeLabelValue(r.in), r.out) << r.in;
    // Before the first pass: the families and no samples.
    EXPECT_EQ(app::MetricsText(nullptr).find("} "), std::string::npos);
    EXPECT_EQ(app::MetricsText(nullptr).find("sentrel_pass_success 0"), std::string::npos);
    // The history's uptime: a window without checks has no sample; no
    // history, no family.
    EXPECT_EQ(app::UptimeMetricsText({}), "");
    const std::string uptime = app::UptimeMetricsText({{"http://b\n/", 5, {0.5, -1, 1}}});
    EXPECT_NE(uptime.find("# TYPE sentrel_host_uptime_ratio gauge\n"), std::string::npos);
    EXPECT_NE(
        uptime.find("sentrel_host_uptime_ratio{host=\"http://b\\n/\",slot=\"5\",window=\"24h\"} 0.500000\n"),
        std::string::npos)
        << uptime;
    EXPECT_EQ(uptime.find("window=\"7d\""), std::string::npos);
    EXPECT_NE(uptime.find("window=\"30d\"} 1.000000\n"), std::string::npos);
    // Whether the history is written: nothing before a file is tried, 0
    // while it is off after a failure.
    app::THistoryRecorder history;
    history.OnError = [](const std::string&) {};
    EXPECT_EQ(app::HistoryOkMetricsText(history), "");
    app::TServerForm settings;
    settings.History = "/nonexistent.invalid/h.db";
    history.Record(app::TPassOutcome{}, settings);
    EXPECT_EQ(
        app::HistoryOkMetricsText(history),
        "# HELP sentrel_history_ok Whether the history is being written (1) or off after a failure (0).\n"
        "# TYPE sentrel_history_ok gauge\nsentrel_history_ok 0\n");
}

TEST(MetricsServer, RequestHeaderVerdicts) {
    struct Row {
        const char* header;
        int status;
        bool head;
    } rows[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x", 200, false},
        {"GET /metrics?name[]=x HTTP/1.0", 200, false},
        {"HEAD /metrics HTTP/1.1", 200, true},
        {"POST /metrics HTTP/1.1", 405, false},
        {"get /metrics HTTP/1.1", 400, false},
        {"GET /metricsx HTTP/1.1", 404, false},
        {"GET / HTTP/1.1", 404, false},
        {"GET /metrics", 400, false},
        {"GET  /metrics HTTP/1.1", 400, false},
        {"GET /metrics FTP/1.0", 400, false},
        {"GET /metrics HTTP/", 400, false},
        {"GET /metrics HTTP/1.", 400, false},
        {"\x16\x03\x01\x02", 400, false},
        {"", 400, false},
    };
    for (const Row& r : rows) {
        auto v = app::TMetricsServer::Judge(r.header);
        EXPECT_EQ(v.Status, r.status) << r.header;
        EXPECT_EQ(v.Head, r.head) << r.header;
    }
}

// The listener holds exactly kMaxConnections; when they are all taken, a new
// scraper pushes out the one that has been silent longest without a complete
// request (never one being answered, however old), and a connection that
// does not finish its request head in time is closed unanswered.
TEST(MetricsServer, FullSlotsGiveWayToANewScraperAndIdleHeadsTimeOut) {
    app::TMetricsServer server;
    server.HeadTimeoutMs = 60000;
    server.Listen("127.0.0.1:0");
    server.SetText("sentrel_pass_success 1\n");
    // The oldest: a routed request still waiting for its answer.
    server.Route(
        "/wait", [](const std::string&, const std::string&, auto) { return [] {}; }, 60000, 0);
    const int waiting = Dial(server.Port());
    ASSERT_EQ(send(waiting, "GET /wait HTTP/1.1\r\n\r\n", 22, MSG_NOSIGNAL), 22);
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 1; }));
    while (platform::ProcessMessages()) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<int> idle{Dial(server.Port())};
    ASSERT_EQ(send(idle[0], "GET /metr", 9, MSG_NOSIGNAL), 9);
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 2; }));
    while (platform::ProcessMessages()) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the others are heard later
    for (std::size_t i = 1; i + 1 < app::TMetricsServer::kMaxConnections; ++i) {
        idle.push_back(Dial(server.Port()));
        ASSERT_EQ(send(idle.back(), "G", 1, MSG_NOSIGNAL), 1);
        ASSERT_TRUE(PumpUntil([&] { return server.Connections() == i + 2; }));  // within the backlog
    }
    while (platform::ProcessMessages()) {
    }
    for (int fd : idle) EXPECT_EQ(Arrived(fd), "") << "all " << idle.size() << " are held";
    // The first idle one speaks again: the second is the idlest now.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(send(idle[0], "ic", 2, MSG_NOSIGNAL), 2);
    while (platform::ProcessMessages()) {
    }

    const int scraper = Dial(server.Port());
    ASSERT_EQ(send(scraper, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL), 25);
    std::string answer;
    ASSERT_TRUE(PumpUntil([&] {
        if (answer.find("<closed>") == std::string::npos) answer += Arrived(scraper);
        return answer.find("<closed>") != std::string::npos ||
               answer.find("pass_success 1\n") != std::string::npos;
    }));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_TRUE(PumpUntil([&] { return Arrived(idle[1]) == "<closed>"; })) << "the idlest went";
    for (std::size_t i = 0; i < idle.size(); ++i)
        if (i != 1) {
            EXPECT_EQ(Arrived(idle[i]), "") << i;
        }
    EXPECT_EQ(Arrived(waiting), "") << "one being answered stays";
    EXPECT_LE(server.Connections(), app::TMetricsServer::kMaxConnections);
    for (int fd : idle) close(fd);
    close(scraper);
    close(waiting);

    server.HeadTimeoutMs = 50;
    const int slow = Dial(server.Port());
    ASSERT_EQ(send(slow, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL), 23);
    std::string got;
    EXPECT_TRUE(PumpUntil([&] {
        if (got.find("<closed>") == std::string::npos) got += Arrived(slow);
        return got.find("<closed>") != std::string::npos;
    }));
    EXPECT_EQ(got, "<closed>") << "closed without an answer";
    close(slow);

    // The head's own limit is a second.
    app::TMetricsServer fresh;
    fresh.Listen("127.0.0.1:0");
    const auto dialled = std::chrono::steady_clock::now();
    const int lagging = Dial(fresh.Port());
    ASSERT_EQ(send(lagging, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL), 23);
    EXPECT_TRUE(PumpUntil([&] { return Arrived(lagging) == "<closed>"; }));
    EXPECT_LT(std::chrono::steady_clock::now() - dialled, std::chrono::milliseconds(3000));
    close(lagging);
}

// Every connection being answered: a routed request waits past the head's
// limit for its answer, and one more client is told 503 at once, never
// closed bare.
TEST(MetricsServer, BusySlotsAnswer503AndRoutedRequestsOutliveTheHeadLimit) {
    app::TMetricsServer server;
    server.HeadTimeoutMs = 50;
    server.Listen("127.0.0.1:0");
    std::vector<app::TMetricsServer::TRouteReply> replies;
    server.Route(
        "/wait",
        [&](const std::string&, const std::string&, app::TMetricsServer::TRouteReply reply) {
            replies.push_back(std::move(reply));
            return [] {};
        },
        60000, 0);
    std::vector<int> fds;
    for (std::size_t i = 0; i < app::TMetricsServer::kMaxConnections; ++i) {
        fds.push_back(Dial(server.Port()));
        ASSERT_EQ(send(fds.back(), "GET /wait HTTP/1.1\r\n\r\n", 22, MSG_NOSIGNAL), 22);
        ASSERT_TRUE(PumpUntil([&] { return replies.size() == i + 1; }));
    }
    const int late = Dial(server.Port());
    ASSERT_EQ(send(late, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL), 25);
    std::string got;
    EXPECT_TRUE(PumpUntil([&] {
        if (got.find("<closed>") == std::string::npos) got += Arrived(late);
        return got.find("<closed>") != std::string::npos;
    }));
    EXPECT_EQ(got.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << got;
    EXPECT_TRUE(got.ends_with("\r\n\r\nToo many connections at once\n<closed>")) << got;
    close(late);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // four head limits
    while (platform::ProcessMessages()) {
    }
    replies[0]({200, "OK", "late but there\n"});
    std::string answer;
    EXPECT_TRUE(PumpUntil([&] {
        answer += Arrived(fds[0]);
        return answer.find("late but there\n") != std::string::npos ||
               answer.find("<closed>") != std::string::npos;
    }));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    for (int fd : fds) close(fd);
}

// The listener stays: a report with nothing queued (accept would block) is
// no error, and a listening socket broken under it is told of and opened
// again on the same port; the next client is answered either way.
TEST(MetricsServer, ListenerOutlivesSpuriousReportsAndErrors) {
    app::TMetricsServer server;
    server.Listen("127.0.0.1:0");
    server.SetText("sentrel_pass_success 1\n");
    std::vector<std::string> trouble;
    server.OnTrouble = [&](const std::string& line) { trouble.push_back(line); };
    const std::string port = server.Port();
    auto scrape = [&] {
        const int fd = Dial(port);
        EXPECT_EQ(send(fd, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL), 25);
        std::string got;
        EXPECT_TRUE(PumpUntil([&] {
            got += Arrived(fd);
            return got.find("<closed>") != std::string::npos;
        }));
        close(fd);
        return got;
    };
    const net::TWSocket& listener = server.Listener();
    struct Row {
        const char* what;
        bool breakIt;  // shut the listening socket down first
        std::size_t lines;
    } rows[] = {{"a spurious accept report", false, 0}, {"a broken listening socket", true, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.breakIt) ::shutdown(listener.HSocket(), SHUT_RDWR);
        platform::PostMessage(listener.Handle(), net::WM_ASYNCSELECT,
                              static_cast<platform::WPARAM>(listener.HSocket()), platform::FD_ACCEPT);
        while (platform::ProcessMessages()) {
        }
        EXPECT_EQ(trouble.size(), row.lines);
        EXPECT_EQ(server.Port(), port);
        EXPECT_NE(scrape().find("sentrel_pass_success 1\n"), std::string::npos);
    }
    ASSERT_EQ(trouble.size(), 1u);
    EXPECT_TRUE(trouble[0].starts_with("Metrics listener on 127.0.0.1:" + port + " closed after an error ("))
        << trouble[0];
    EXPECT_TRUE(trouble[0].ends_with("); listening again")) << trouble[0];

    // Out of descriptors: accepting pauses (told once, however long it
    // lasts) and the client that waited in the queue is answered after.
    const int client = Dial(port);
    ASSERT_EQ(send(client, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL), 25);
    std::vector<int> fillers;  // every free descriptor below the client's
    for (int f; (f = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        if (f > client) {
            close(f);
            break;
        }
        fillers.push_back(f);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(client) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const auto limited = std::chrono::steady_clock::now();
    PumpUntil([&] { return std::chrono::steady_clock::now() - limited > std::chrono::milliseconds(1500); });
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int f : fillers) close(f);
    ASSERT_EQ(trouble.size(), 2u);
    EXPECT_TRUE(trouble[1].starts_with("Metrics listener: ") &&
                trouble[1].ends_with("; accepting again in 1 s"))
        << trouble[1];
    std::string got;
    EXPECT_TRUE(PumpUntil([&] {
        got += Arrived(client);
        return got.find("<closed>") != std::string::npos;
    }));
    EXPECT_NE(got.find("sentrel_pass_success 1\n"), std::string::npos) << got;
    close(client);
}
