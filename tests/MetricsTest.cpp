// The words of a pass and its metrics: the tray's summary, the exposition
// text (labels escaped, a series per pool entry, the certificate family for
// https hosts only) and what the metrics server makes of a request header.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "app/core/sform.h"
#include "app/serve/Metrics.h"
#include "app/serve/MetricsServer.h"
#include "app/core/PassOutcome.h"
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
    // The second "down" is another entry that reads the same (two URLs that
    // differ only in their hidden password): a series of its own. Entries
    // without a pool row take their place in the pass.
    TPassOutcome p = Pass({tls, down, Host("down", true)});
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
          std::string("sentrel_pass_success 0\n"), std::string("# TYPE sentrel_probe_success gauge\n")})
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
// request, and a connection that does not finish its request head in time
// is closed unanswered.
TEST(MetricsServer, FullSlotsGiveWayToANewScraperAndIdleHeadsTimeOut) {
    app::TMetricsServer server;
    server.HeadTimeoutMs = 60000;
    server.Listen("127.0.0.1:0");
    server.SetText("sentrel_pass_success 1\n");
    std::vector<int> idle{Dial(server.Port())};
    ASSERT_EQ(send(idle[0], "GET /metr", 9, MSG_NOSIGNAL), 9);
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 1; }));
    while (platform::ProcessMessages()) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the others are heard later
    for (std::size_t i = 1; i < app::TMetricsServer::kMaxConnections; ++i) {
        idle.push_back(Dial(server.Port()));
        ASSERT_EQ(send(idle.back(), "G", 1, MSG_NOSIGNAL), 1);
        ASSERT_TRUE(PumpUntil([&] { return server.Connections() == i + 1; }));  // within the backlog
    }
    while (platform::ProcessMessages()) {
    }
    for (int fd : idle) EXPECT_EQ(Arrived(fd), "") << "all " << idle.size() << " are held";

    const int scraper = Dial(server.Port());
    ASSERT_EQ(send(scraper, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL), 25);
    std::string answer;
    ASSERT_TRUE(PumpUntil([&] {
        if (answer.find("<closed>") == std::string::npos) answer += Arrived(scraper);
        return answer.find("<closed>") != std::string::npos ||
               answer.find("pass_success 1\n") != std::string::npos;
    }));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_TRUE(PumpUntil([&] { return Arrived(idle[0]) == "<closed>"; })) << "the idlest went";
    for (std::size_t i = 1; i < idle.size(); ++i) EXPECT_EQ(Arrived(idle[i]), "") << i;
    EXPECT_LE(server.Connections(), app::TMetricsServer::kMaxConnections);
    for (int fd : idle) close(fd);
    close(scraper);

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
}
