// GET /probe on the metrics listener: the target and time-limit rules, the
// answer's text, the handler in this process against scripted servers (a
// check's outcome, 400, 503 beyond the concurrency, a scraper that goes),
// and a real Prometheus scraping sentrel-cli's /probe through relabelling.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <regex>
#include <thread>

#include "AppFakes.h"
#include "SocketPeer.h"
#include "app/serve/MetricsServer.h"
#include "app/serve/ProbeHandler.h"
#include "support/RealServers.h"
#include "support/ScriptedPeer.h"

using namespace testsupport;
using sockettest::Dial;
using sockettest::ReadToEnd;

namespace {

const char* const kPage = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>hello</html>";
const char* const kNotFound = "HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nno\n";

// Sends request from a thread of its own while this one runs the loop the
// server lives in; the whole answer, or "<open>" at its end when none came.
std::string Ask(int port, const std::string& request) {
    auto answer = std::async(std::launch::async, [port, request] {
        int fd = Dial(port);
        (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string got = ReadToEnd(fd, 15000);
        close(fd);
        return got;
    });
    sockettest::RunUntil(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000);
    return answer.get();
}

std::string Probe(const std::string& target, const std::string& extra = "") {
    return "GET /probe?module=http_2xx&target=" + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

struct Served {
    app::TMetricsServer server;
    app::TProbeHandler probes;
    int port = 0;
    explicit Served(int concurrency = 100)
        : probes(
              server, [] { return app::MakeHttpGetter(); }, concurrency) {
        server.Listen("127.0.0.1:0");
        port = std::stoi(server.Port());
    }
};

}  // namespace

TEST(Probe, TargetsAndTimeLimits) {
    const struct {
        const char* what;
        std::string requestTarget, url, error;
    } targets[] = {
        {"percent-encoded, module ignored", "/probe?module=x&target=http%3A%2F%2F127.0.0.1%3A8%2Fa%3Fb%3Dc",
         "http://127.0.0.1:8/a?b=c", ""},
        {"https, scheme in capitals", "/probe?target=HTTPS://h.invalid/", "HTTPS://h.invalid/", ""},
        {"no target", "/probe?module=http_2xx", "", "Target parameter is missing"},
        {"the first of two targets", "/probe?target=http://a.invalid/&target=http://b.invalid/",
         "http://a.invalid/", ""},
        {"an empty target", "/probe?target=", "", "Target parameter is missing"},
        {"another scheme", "/probe?target=ftp://h.invalid/", "", "Target must be an http:// or https:// URL"},
        {"no scheme", "/probe?target=h.invalid", "", "Target must be an http:// or https:// URL"},
        {"a scheme alone", "/probe?target=http://", "", "Target must be an http:// or https:// URL"},
        {"a decoded line break", "/probe?target=http://h.invalid/%0D%0AX:1", "",
         "Target holds a blank or a control character"},
        {"a blank from a plus", "/probe?target=http://a+b.invalid/", "",
         "Target holds a blank or a control character"},
    };
    for (const auto& row : targets) {
        std::string error;
        EXPECT_EQ(app::ProbeTarget(row.requestTarget, &error), row.url) << row.what;
        EXPECT_EQ(error, row.error) << row.what;
    }
    const struct {
        const char* what;
        std::string header;
        std::uint32_t ms;
    } limits[] = {
        {"no header", "GET / HTTP/1.1\r\n", 10000},
        {"scrape timeout 5 s", "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 5\r\n", 4500},
        {"longer than 10 s", "GET / HTTP/1.1\r\nx-prometheus-scrape-timeout-seconds:30\r\n", 10000},
        {"under half a second", "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 0.4\r\n", 100},
        {"not a number", "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: soon\r\n", 10000},
        {"a unit after the number", "GET / HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 5s\r\n", 10000},
    };
    for (const auto& row : limits) EXPECT_EQ(app::ProbeTimeLimitMs(row.header), row.ms) << row.what;
}

TEST(Probe, AnswerTextNamesLikeTheBlackboxExporter) {
    app::TProbeResult r;
    r.Success = true;
    r.Seconds = 0.25;
    r.StatusCode = 200;
    r.Redirects = 1;
    r.BodyBytes = 18;
    const std::string plain = app::ProbeText(r);
    for (const char* line :
         {"probe_success 1\n", "probe_duration_seconds 0.250000\n", "probe_http_status_code 200\n",
          "probe_http_redirects 1\n", "probe_http_content_length 18\n"})
        EXPECT_NE(plain.find(line), std::string::npos) << line;
    EXPECT_EQ(plain.find("probe_ssl_earliest_cert_expiry"), std::string::npos) << "no https hop, no expiry";
    EXPECT_EQ(plain.find("probe_http_duration_seconds"), std::string::npos);
    r.CertExpiry = 1900000000;
    r.Phases = {{"connect", 0.001}};
    const std::string tls = app::ProbeText(r);
    EXPECT_NE(tls.find("probe_ssl_earliest_cert_expiry 1900000000\n"), std::string::npos);
    EXPECT_NE(tls.find("probe_http_duration_seconds{phase=\"connect\"} 0.001000\n"), std::string::npos);
}

TEST(Probe, ChecksOnTheLoopWithTheirOutcome) {
    TScriptedPeer redirect({Answer("HTTP/1.0 302 Found\r\nLocation: /page\r\n\r\n"), Answer(kPage)});
    TScriptedPeer notFound({Answer(kNotFound)});
    TScriptedPeer silent({{ReadRequest(), WaitForClose(15000)}});
    const std::string refused = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
    Served s;
    const struct {
        const char* what;
        std::string request;
        std::vector<std::string> expected;  // pieces of the answer
    } rows[] = {
        {"up after a redirect",
         Probe("http://" + redirect.HostPort() + "/"),
         {"HTTP/1.1 200 OK\r\n", "\nprobe_success 1\n", "\nprobe_http_status_code 200\n",
          "\nprobe_http_redirects 1\n", "\nprobe_http_content_length 18\n",
          "\nprobe_http_duration_seconds{phase=\"connect\"} ",
          "\nprobe_http_duration_seconds{phase=\"transfer\"} "}},
        {"404 is down",
         Probe("http://" + notFound.HostPort() + "/"),
         {"HTTP/1.1 200 OK\r\n", "\nprobe_success 0\n", "\nprobe_http_status_code 404\n"}},
        {"refused", Probe(refused), {"\nprobe_success 0\n", "\nprobe_http_status_code 0\n"}},
        {"silent, ended by the scrape's time limit",
         Probe("http://" + silent.HostPort() + "/", "X-Prometheus-Scrape-Timeout-Seconds: 1\r\n"),
         {"HTTP/1.1 200 OK\r\n", "\nprobe_success 0\n"}},
        {"not http",
         Probe("file:///etc/passwd"),
         {"HTTP/1.1 400 Bad Request\r\n", "\r\n\r\nTarget must be an http"}},
        {"/metrics still answers", "GET /metrics HTTP/1.1\r\n\r\n", {"HTTP/1.1 200 OK\r\n"}},
    };
    for (const auto& row : rows) {
        const std::string got = Ask(s.port, row.request);
        for (const auto& piece : row.expected)
            EXPECT_NE(got.find(piece), std::string::npos) << row.what << "\n" << got;
    }
    EXPECT_EQ(s.probes.Running(), 0u);
}

TEST(Probe, BeyondTheConcurrency503AndAScraperThatGoesEndsItsCheck) {
    TScriptedPeer silent({{ReadRequest(), WaitForClose(15000)}});
    Served s(1);
    const std::string held = Probe("http://" + silent.HostPort() + "/");
    int first = Dial(s.port);
    (void)!send(first, held.data(), held.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(sockettest::RunUntil([&] { return s.probes.Running() == 1; }));
    EXPECT_EQ(Ask(s.port, held).rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
    // The scraper gives up: its check is aborted, and the slot is free again.
    close(first);
    EXPECT_TRUE(sockettest::RunUntil([&] { return s.probes.Running() == 0; }));
    TScriptedPeer page({Answer(kPage)});
    EXPECT_NE(Ask(s.port, Probe("http://" + page.HostPort() + "/")).find("\nprobe_success 1\n"),
              std::string::npos);
}

namespace {

// A program of ours or Prometheus, run in a folder of its own on a port
// given before it starts.
class TProgram : public TServerProcess {
public:
    bool Run(const char* prefix, int port, const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& files) {
        if (!MakeDir(prefix)) return false;
        port_ = port;
        for (const auto& [name, text] : files) PutFile(dir_ + "/" + name, text);
        return Launch(argv, dir_ + "/stdout.log");
    }
};

std::string Program(const char* name) {
    if (const char* bin = std::getenv("SENTREL_BINARY_DIR")) return std::string(bin) + "/" + name;
    return (fs::read_symlink("/proc/self/exe").parent_path() / name).string();
}

// The value of probe_success for each instance that Prometheus holds.
std::map<std::string, std::string> ProbeSuccess(int prometheusPort) {
    const std::string file = fs::temp_directory_path() / ("sentrel-probe-query-" + std::to_string(getpid()));
    const std::string cmd = "curl -sf --max-time 5 -o " + file +
                            " 'http://127.0.0.1:" + std::to_string(prometheusPort) +
                            "/api/v1/query?query=probe_success'";
    std::map<std::string, std::string> out;
    if (std::system(cmd.c_str()) != 0) return out;
    const std::string json = GetFile(file);
    fs::remove(file);
    static const std::regex sample(R"re("instance":"([^"]*)"[^}]*\},"value":\[[0-9.]+,"([^"]*)"\])re");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), sample); it != std::sregex_iterator(); ++it)
        out[(*it)[1]] = (*it)[2];
    return out;
}

}  // namespace

TEST(Probe, PrometheusScrapesTargetsThroughRelabelling) {
    if (::access("/usr/bin/prometheus", X_OK) != 0)
        GTEST_SKIP() << "prometheus is not installed (Debian package prometheus)";
    TScriptedPeer up({Answer(kPage)});
    TScriptedPeer down({Answer(kNotFound)});
    const std::string upUrl = "http://" + up.HostPort() + "/";
    const std::string downUrl = "http://" + down.HostPort() + "/";
    const std::string refusedUrl = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";

    TProgram sentrel;
    const int sentrelPort = UnusedPort();
    const std::string listen = "127.0.0.1:" + std::to_string(sentrelPort);
    ASSERT_TRUE(sentrel.Run("sentrel-probe-", sentrelPort,
                            {Program("sentrel-cli"), "--headless", "--metrics-listen", listen},
                            {{"sentrel.ini", "[main]\r\nserver1active=0\r\n"}}))
        << sentrel.Error();

    TProgram prometheus;
    const int promPort = UnusedPort();
    const std::string config =
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        "scrape_configs:\n"
        "  - job_name: sentrel\n"
        "    metrics_path: /probe\n"
        "    params:\n      module: [http_2xx]\n"
        "    static_configs:\n"
        "      - targets: ['" +
        upUrl + "', '" + downUrl + "', '" + refusedUrl +
        "']\n"
        "    relabel_configs:\n"
        "      - source_labels: [__address__]\n        target_label: __param_target\n"
        "      - source_labels: [__param_target]\n        target_label: instance\n"
        "      - target_label: __address__\n        replacement: " +
        listen + "\n";
    ASSERT_TRUE(
        prometheus.Run("sentrel-prometheus-", promPort,
                       {"/usr/bin/prometheus", "--config.file=prometheus.yml", "--storage.tsdb.path=data",
                        "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                       {{"prometheus.yml", config}}))
        << prometheus.Error();

    std::map<std::string, std::string> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        seen = ProbeSuccess(promPort);
    }
    EXPECT_EQ(seen, (std::map<std::string, std::string>{{upUrl, "1"}, {downUrl, "0"}, {refusedUrl, "0"}}));
    EXPECT_GE(up.Connections(), 1);
}

// A hundred probes come at once: the listener queues the burst instead of
// leaving the connections that the socket layer's backlog of 5 would drop
// to be retried seconds later. Nothing accepts meanwhile (the loop does not
// run), so every connection that completes was queued by the kernel.
TEST(Probe, ABurstOfScrapersIsQueuedNotDropped) {
    Served s;
    std::vector<int> fds;
    for (int i = 0; i < 40; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a = sockettest::Loopback(static_cast<std::uint16_t>(s.port));
        (void)!connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fds.push_back(fd);
    }
    // Connected ones are writable at once; the others would wait for a
    // retry of their handshake, so a short wait for all of them tells.
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLOUT, 0});
    int connected = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (connected < 40 && std::chrono::steady_clock::now() < deadline) {
        poll(polls.data(), polls.size(), 100);
        connected = 0;
        for (const pollfd& p : polls) connected += (p.revents & POLLOUT) ? 1 : 0;
    }
    for (int fd : fds) close(fd);
    EXPECT_EQ(connected, 40);
}
