// The words of a pass and its metrics: the tray's summary, the exposition
// text (labels escaped, a host once, the certificate family for https hosts
// only) and what the metrics server makes of a request header.
#include <gtest/gtest.h>

#include "app/core/Metrics.h"
#include "app/core/MetricsServer.h"
#include "app/core/PassOutcome.h"

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
    THostOutcome down = Host("down", false);                 // never fetched: no phases
    TPassOutcome p = Pass({tls, down, Host("down", true)});  // the second "down" is a repeat
    const std::string label = "{host=\"https://a\\\"b\\\\c/\"}";
    const std::string text = app::MetricsText(&p);
    for (const std::string& line :
         {"sentrel_probe_success" + label + " 1\n", std::string("sentrel_probe_success{host=\"down\"} 0\n"),
          "sentrel_probe_duration_seconds" + label + " 0.500000\n",
          "sentrel_probe_http_status_code" + label + " 200\n",
          std::string("sentrel_probe_http_status_code{host=\"down\"} 0\n"),
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
    EXPECT_EQ(text.find("{host=\"down\",slot="), std::string::npos);
    EXPECT_EQ(text.find("sentrel_probe_ssl_earliest_cert_expiry{host=\"down\"}"), std::string::npos);
    EXPECT_EQ(text.find("sentrel_probe_success{host=\"down\"} 1"), std::string::npos);
    EXPECT_EQ(app::EscapeLabelValue("a\nb"), "a\\nb");
    // Before the first pass: the families and no samples.
    EXPECT_EQ(app::MetricsText(nullptr).find("} "), std::string::npos);
    EXPECT_EQ(app::MetricsText(nullptr).find("sentrel_pass_success 0"), std::string::npos);
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
