// The monitor's long runs end to end, as a user runs sentrel-cli: one line
// per change of state under --headless, certificate warnings, and metrics
// served while the passes go on.
#include "MonitorRun.h"

using namespace monitortest;
using sockettest::Dial;
using sockettest::ReadToEnd;

namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Waits (at most ms) until pred holds.
bool WaitFor(const std::function<bool()>& pred, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Sends request and reads the answer until the server closes.
std::string Exchange(int port, const std::string& request) {
    int fd = Dial(port);
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got = ReadToEnd(fd, 10000);
    close(fd);
    return got;
}

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

// The pool flips between up and down under --headless (the server answers
// each pass in turn: up, up, down, down, then up for good): one line for each
// change, none for the passes in between.
TEST(MonitorProgram, HeadlessPrintsOneLinePerChangeOfState) {
    const TPeerScript down = Answer("HTTP/1.0 503 Service Unavailable\r\n\r\ndown");
    TScriptedPeer server({Answer(kPage), Answer(kPage), down, down, Answer(kPage)});
    WorkDir dir;
    PutFile("sentrel.ini", Ini({server.HostPort()}, "autostart=1\r\nfrequency=1\r\n"));
    const std::string good = "All servers connected correctly", bad = "At least one connection failed!";
    ProgramRun r = Start({"--headless"}, 30000, true,
                         [] { return Count(GetFile("status.log"), "connected correctly") >= 4; });
    EXPECT_EQ(r.status, 0);
    Lines changes;
    std::istringstream out(r.out);
    // Every line that is not one of the status texts.
    for (std::string line; std::getline(out, line);) {
        bool status = line == "Now Active" || line == good || line == bad;
        for (const char* prefix : {"Checking \"", "Successful connection to: ", "Error accessing host: "})
            status = status || line.rfind(prefix, 0) == 0;
        if (!status) changes.push_back(line);
    }
    EXPECT_EQ(changes,
              (Lines{"1 host down: " + server.HostPort() + ": Service Unavailable", "All hosts up again"}))
        << r.out;
}

// A certificate from the tests' own authority that ends in 5 days: the pass
// warns once after the host's lines, --check prints it, certwarndays=0 not.
TEST(MonitorProgram, CertificateAboutToExpireIsWarnedOncePerPass) {
    if (!TNginx::Available()) GTEST_SKIP() << "nginx is not installed";
    TTestCa ca;
    TNginxTls nginx;
    int soon = nginx.AddTlsServer(ca.Issue("soon", TTestCa::Localhost(), -1, 5));
    nginx.AddFile("/index.html", "<html>soon</html>\n");
    nginx.Start();
    setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
    setenv("SSL_CERT_DIR", ca.Dir().c_str(), 1);
    WorkDir dir;
    const std::string host = "https://localhost:" + std::to_string(nginx.Port(soon)) + "/";
    const std::string warning = "Certificate of " + host + " expires in 5 days";
    PutFile("sentrel.ini", Ini({host}));
    ProgramRun r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 0) << r.out;
    // After the host's line (which ends with its time), before the summary.
    EXPECT_NE(r.out.find(" ms]\n" + warning + "\nAll servers connected correctly\n"), std::string::npos)
        << r.out;
    Start({"--check"}, 30000);  // a second pass: its own warning, once
    EXPECT_EQ(LogLines(), (Lines{"header", " Checking connectivity Now", " Checking \"" + host + "\" Now",
                                 ">Successful connection to: " + host, "?" + warning,
                                 ">All servers connected correctly", " Checking connectivity Now",
                                 " Checking \"" + host + "\" Now", ">Successful connection to: " + host,
                                 "?" + warning, ">All servers connected correctly"}));
    PutFile("sentrel.ini", Ini({host}, "certwarndays=0\r\n"));
    std::remove("status.log");
    r = Start({"--check"}, 30000);
    EXPECT_EQ(r.out.find("Certificate"), std::string::npos) << r.out;
    EXPECT_EQ(GetFile("status.log").find("Certificate"), std::string::npos);
    unsetenv("SSL_CERT_FILE");
    unsetenv("SSL_CERT_DIR");
}

// /metrics while a pass waits for a slow host: curl gets what promtool
// accepts; bad, oversized, idle and many requests at once are answered or
// closed without holding up the passes; the file has the same text; and a
// restarted program listens on the same port at once.
TEST(MonitorProgram, MetricsAreServedWithoutDelayingThePasses) {
    TScriptedPeer slow({{ReadRequest(), PauseMs(1500), SendBytes(kPage), CloseConn()}});
    WorkDir dir;
    PutFile("sentrel.ini", Ini({slow.HostPort()}, "autostart=1\r\nfrequency=1\r\n"));
    const int port = UnusedPort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    const std::string good = "All servers connected correctly";
    const std::string tick = "Checking \"" + slow.HostPort() + "\" Now";
    bool checked = false;
    auto during = [&] {
        if (checked) return true;
        // Wait for the second pass to be waiting on the slow host.
        if (Count(GetFile("status.log"), good) < 1 || Count(GetFile("stdout.txt"), tick) < 3) return false;
        checked = true;
        std::size_t passes = Count(GetFile("status.log"), good);
        EXPECT_EQ(std::system(("curl -sf --max-time 5 -o scrape.txt http://" + listen + "/metrics").c_str()),
                  0);
        EXPECT_EQ(Count(GetFile("status.log"), good), passes) << "the scrape waited for the pass";
        std::string scrape = GetFile("scrape.txt");
        EXPECT_NE(scrape.find("sentrel_probe_success{host=\"" + slow.HostPort() + "\",slot=\"1\"} 1\n"),
                  std::string::npos)
            << scrape;
        if (HaveTool("promtool"))
            EXPECT_EQ(std::system("promtool check metrics < scrape.txt"), 0) << scrape;
        else
            ADD_FAILURE() << "promtool is not installed (Debian package prometheus)";

        // Held open, saying nothing or half a request, while the rest goes on.
        std::vector<int> idle;
        for (int i = 0; i < 10; ++i) idle.push_back(Dial(port));
        (void)!send(idle[0], "GET /metr", 9, MSG_NOSIGNAL);
        const struct {
            const char* what;
            std::string request, status;
        } rows[] = {
            {"not HTTP", "hello\r\n\r\n", "HTTP/1.1 400 "},
            {"header over 8 KiB", "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n",
             "HTTP/1.1 400 "},
            {"20 KB without its empty line, answered before any time limit",
             "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a'), "HTTP/1.1 400 "},
            {"another method", "DELETE /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
            {"another path", "GET /other HTTP/1.1\r\n\r\n", "HTTP/1.1 404 "},
            {"head", "HEAD /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 "},
        };
        for (const auto& row : rows)
            EXPECT_EQ(Exchange(port, row.request).rfind(row.status, 0), 0u) << row.what;
        // Many scrapers at once.
        std::vector<int> many;
        for (int i = 0; i < 15; ++i) {
            many.push_back(Dial(port));
            (void)!send(many.back(), "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL);
        }
        for (int fd : many) {
            EXPECT_EQ(ReadToEnd(fd, 10000).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
            close(fd);
        }
        // Passes go on while the idle ones are held, and the idle ones are
        // closed by the server in the end.
        std::size_t before = Count(GetFile("status.log"), good);
        EXPECT_TRUE(WaitFor([&] { return Count(GetFile("status.log"), good) >= before + 2; }, 15000));
        for (int fd : idle) {
            EXPECT_EQ(ReadToEnd(fd, 15000), "");
            close(fd);
        }
        return true;
    };
    ProgramRun r = Start({"--headless", "--metrics-listen", listen, "--metrics-file", "sentrel.prom"}, 60000,
                         true, during);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(checked);
    // The log holds the passes' own lines and nothing else.
    for (const std::string& line : LogLines())
        EXPECT_TRUE(line == "header" || line == "-Logging connectivity" ||
                    line == ">Starting automatic monitoring" || line == "@Monitoring now on" ||
                    line == " " + tick || line == ">Successful connection to: " + slow.HostPort() ||
                    line == ">" + good || line == ".Finished logging connectivity")
            << line;
    std::string file = GetFile("sentrel.prom");
    EXPECT_NE(file.find("sentrel_pass_success 1\n"), std::string::npos) << file;

    // Started again at once on the same port, after the server closed its
    // idle connections first.
    ProgramRun again = Start({"--headless", "--metrics-listen", listen}, 20000, true, [&] {
        return std::system(("curl -sf --max-time 2 -o /dev/null http://" + listen + "/metrics").c_str()) == 0;
    });
    EXPECT_EQ(again.status, 0);
}
