// What a host must do beyond answering, end to end: a pass with the real
// client against scripted servers on 127.0.0.1, one row per way a key can
// pass or fail, the page searched as it streams in (a text split between
// two reads, a redirect's own body never searched, a 1 GiB page in a few
// MiB), and values that cannot be read failing their host unfetched.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>

#include "AppFakes.h"
#include "app/cli/CommandLine.h"
#include "app/cli/Headless.h"
#include "app/core/HostExpect.h"
#include "app/core/qz1.h"
#include "net/HttpProt.h"
#include "support/NginxTls.h"
#include "support/RealServers.h"
#include "support/ScriptedPeer.h"
#include "support/TestCa.h"
#include "support/Watchdog.h"

using namespace testsupport;
using Failures = std::vector<std::pair<std::string, std::string>>;

namespace {

const char* const kPage = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>hello</html>";
const char* const kNotFound = "HTTP/1.0 404 Not Found\r\n\r\n<html>no such page</html>";

// One pass, as Check Now makes it, over the pool of the settings file ini.
Failures Pass(const std::string& ini, int concurrency = 1) {
    PutFile("sentrel.ini", ini);
    RecordingView view;
    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    app::TQzController c(view, settings, *http);
    c.SetConcurrency(concurrency);
    c.FormCreate();
    c.FormShow();
    TWatchdog dog(20000, [&] { http->Abort(); });
    c.CheckNowButtonClick();
    Failures failures = c.Failures();
    c.FormClose();
    return failures;
}

std::string Pool(const std::vector<std::string>& hosts) {
    std::string ini = "[main]\r\n";
    for (std::size_t i = 0; i < hosts.size(); ++i)
        ini += "server" + std::to_string(i + 1) + "name=" + hosts[i] + "\r\nserver" + std::to_string(i + 1) +
               "active=1\r\n";
    return ini;
}

// The largest the process has been since the last reset, in KiB.
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

TEST(HostExpect, EachKeyPassesOrFailsWithItsReason) {
    const std::string moved = "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n";
    const struct {
        std::string section;
        std::vector<TPeerScript> scripts;
        std::string reason;  // "" = passes; "A ... B": starts with A, ends with " ms B"
    } rows[] = {
        {"status=200", {Answer(kPage)}, ""},
        {"status=200", {Answer("HTTP/1.0 301 Moved\r\n\r\nmoved")}, "Unexpected status 301 (expected 200)"},
        // An error status the list names is up; the default list is not.
        {"status=404,500-599", {Answer(kNotFound)}, ""},
        {"status=200-299", {Answer(kNotFound)}, "Unexpected status 404 (expected 200-299)"},
        {"status=200", {{ReadRequest(), CloseConn()}}, "Empty reply from server"},
        {"contains=hello", {Answer(kPage)}, ""},
        {"contains=Hello", {Answer(kPage)}, "Text not found: Hello"},
        {"contains=Welcome",
         {{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n\r\n<p>Wel"), PauseMs(150), SendBytes("come</p>"),
           CloseConn()}},
         ""},
        // The redirecting reply's body is not the page: only the final one counts.
        {"contains=Welcome",
         {Answer(moved + "<p>Wel"), Answer("HTTP/1.0 200 OK\r\n\r\ncome</p>")},
         "Text not found: Welcome"},
        {"contains=Welcome", {Answer(moved + "<p>Welcome</p>"), Answer(kPage)}, "Text not found: Welcome"},
        {"contains=final", {Answer(moved), Answer("HTTP/1.0 200 OK\r\n\r\nthe final page")}, ""},
        {"notcontains=oops", {Answer(kPage)}, ""},
        {"notcontains=ello</", {Answer(kPage)}, "Unwanted text found: ello</"},
        {"maxms=60000", {Answer(kPage)}, ""},
        {"maxms=100",
         {{ReadRequest(), PauseMs(400), SendBytes(kPage), CloseConn()}},
         "Too slow: ... (limit 100 ms)"},
        // A silent host is ended at the limit, not at the client's 10 s;
        // the limit spans the redirects.
        {"maxms=300", {{ReadRequest(), WaitForClose(12000)}}, "Too slow: ... (limit 300 ms)"},
        {"maxms=300", {Answer(moved), {ReadRequest(), WaitForClose(12000)}}, "Too slow: ... (limit 300 ms)"},
        {"status=2xx",
         {Answer(kPage)},
         "status in sentrel.ini: '2xx' is not a status list such as 200,301-308"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.section + " -> " + row.reason);
        WorkDir dir;
        TScriptedPeer peer(row.scripts);
        Failures failures = Pass(Pool({peer.HostPort() + "/"}) + "[server1]\r\n" + row.section + "\r\n");
        const std::string log = GetFile("status.log"), host = peer.HostPort() + "/";
        if (row.reason.empty()) {
            EXPECT_TRUE(failures.empty()) << failures[0].second;
            // Logged as every host that passes: its checking line, no error.
            EXPECT_NE(log.find("Checking \"" + host + "\" Now"), std::string::npos) << log;
            EXPECT_EQ(log.find("Error accessing host"), std::string::npos) << log;
            continue;
        }
        ASSERT_EQ(failures.size(), 1u);
        if (const std::size_t dots = row.reason.find("..."); dots != std::string::npos) {
            EXPECT_TRUE(failures[0].second.starts_with(row.reason.substr(0, dots)) &&
                        failures[0].second.ends_with(" ms" + row.reason.substr(dots + 3)))
                << failures[0].second;
            // Ended at its limit, well before the client's own 10 s.
            EXPECT_LT(std::atoi(failures[0].second.c_str() + dots), 9000) << failures[0].second;
        } else
            EXPECT_EQ(failures[0].second, row.reason);
        EXPECT_NE(log.find("Error accessing host: " + host), std::string::npos);
    }
}

// A value that cannot be read fails its host at every pass without a
// request, in a pass one host at a time and in one fetching several at once;
// the other rows are checked as usual.
TEST(HostExpect, BadValueFailsItsHostUnfetched) {
    for (int concurrency : {1, 3}) {
        SCOPED_TRACE(concurrency);
        WorkDir dir;
        TScriptedPeer bad({Answer(kPage)}), good({Answer(kPage)});
        Failures failures =
            Pass(Pool({bad.HostPort(), good.HostPort()}) + "[server1]\r\nmaxms=soon\r\n", concurrency);
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0], (std::pair<std::string, std::string>{
                                   bad.HostPort(),
                                   "maxms in sentrel.ini: 'soon' is not a number of milliseconds from 1 to "
                                   "86400000"}));
        EXPECT_EQ(bad.Connections(), 0);
        EXPECT_EQ(good.Connections(), 1);
    }
}

// maxms ends the request where it runs out in a pass fetching several
// hosts at once too, and one above the client's 10 s raises that host's
// limit: a host answering after 10.3 s under maxms=10800 is up.
TEST(HostExpect, MaxMsEndsTheRequestInAConcurrentPassAndCanOutlastTenSeconds) {
    WorkDir dir;
    TScriptedPeer silent({{ReadRequest(), WaitForClose(15000)}});
    TScriptedPeer slow({{ReadRequest(), PauseMs(10300), SendBytes(kPage), CloseConn()}});
    TScriptedPeer quick({Answer(kPage)});
    Failures failures = Pass(Pool({silent.HostPort(), slow.HostPort(), quick.HostPort()}) +
                                 "[server1]\r\nmaxms=300\r\n[server2]\r\nmaxms=10800\r\n",
                             3);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, silent.HostPort());
    EXPECT_TRUE(failures[0].second.starts_with("Too slow: ") &&
                failures[0].second.ends_with(" ms (limit 300 ms)"))
        << failures[0].second;
    EXPECT_LT(std::atoi(failures[0].second.c_str() + 10), 9000) << "ended at the limit, not at 10 s";
}

// certdays is the host's own warning window, either way round.
TEST(HostExpect, CertDaysOverridesTheWarningWindowPerHost) {
    WorkDir dir;
    PutFile("sentrel.ini",
            Pool({"a", "b"}) + "certwarndays=14\r\n[server1]\r\ncertdays=30\r\n[server2]\r\ncertdays=0\r\n");
    RecordingView view;
    app::TServerForm settings;
    ScriptedGetter http;
    const std::int64_t in20Days = static_cast<std::int64_t>(std::time(nullptr)) + 20 * 86400;
    http.answers["a"] = {"page", false, "", in20Days};
    http.answers["b"] = {"page", false, "", in20Days - 18 * 86400};
    app::TQzController c(view, settings, http);
    std::vector<std::string> warnings;
    c.OnWarning = [&](const std::string& w) { warnings.push_back(w); };
    c.FormCreate();
    c.FormShow();
    c.CheckNowButtonClick();
    EXPECT_EQ(warnings, (std::vector<std::string>{app::CertificateWarning("a", 20)}));
    c.FormClose();
}

// The search keeps only the text's length of the page between pieces: a
// page four times the limit, with the text at its very end, is searched
// within the limit (bench/expect.sh runs the 1 GiB page in an optimised
// build; here, with the sanitizers, 64 MiB shows the same).
TEST(HostExpect, LargePageIsSearchedInAFewMegabytes) {
    const std::int64_t blocks = 1024;
    const std::string block(64 * 1024, 'x');
    const std::string tail = "the end";
    TScriptedPeer peer(
        {{ReadRequest(),
          SendBytes("HTTP/1.0 200 OK\r\nContent-Length: " +
                    std::to_string(blocks * static_cast<std::int64_t>(block.size()) + 7) + "\r\n\r\n"),
          SendRepeated(block, blocks), SendBytes(tail), CloseConn()}});
    app::THostExpect expect;
    ASSERT_EQ(app::ParseText("xthe end", expect.Contains, expect.HasContains), "");
    ASSERT_EQ(app::ParseText("y", expect.NotContains, expect.HasNotContains), "");
    app::TBodyCheck body(expect);
    net::THttpCli cli;
    cli.URL = "http://" + peer.HostPort() + "/big";
    cli.ReceiveStream = &body;
    std::ofstream reset("/proc/self/clear_refs");  // "5": the peak starts again from now
    const bool canReset = static_cast<bool>(reset << "5" << std::flush);
    const long before = PeakKiB();
    TWatchdog dog(300000, [&] { cli.Abort(); });
    cli.Get();
    EXPECT_EQ(body.Size(), blocks * static_cast<std::int64_t>(block.size()) + 7);
    EXPECT_TRUE(body.ContainsFound());
    EXPECT_FALSE(body.NotContainsFound());
    if (canReset && before > 0) {
        EXPECT_LT(PeakKiB() - before, 16 * 1024);
    }
}

// The matcher alone, at the edges of its pieces.
TEST(HostExpect, TextIsFoundAcrossPiecesOfAnySize) {
    const struct {
        std::vector<std::string> pieces;
        std::string text;
        bool found;
    } rows[] = {
        {{"abc", "def"}, "cd", true},  {{"a", "b", "c", "d"}, "abcd", true}, {{"ab", "", "cd"}, "bc", true},
        {{"abcab", "d"}, "abd", true}, {{"ab", "xcd"}, "abcd", false},       {{"aab", "ab"}, "abab", true},
        {{"abc"}, "abcd", false},      {{"zzz", "ab", "c"}, "zabc", true},   {{"a", "b"}, "b", true},
    };
    for (const auto& row : rows) {
        app::TTextMatcher m(row.text);
        for (const auto& p : row.pieces) m.Feed(p);
        EXPECT_EQ(m.Found(), row.found) << row.text;
    }
}

// --check -v: a TLS host through an HTTP proxy shows every phase on the line
// after its outcome, and the phases add up to the total.
TEST(HostExpect, VerboseCheckShowsWhereTheTimeWent) {
    if (!TTinyproxy::Available() || !TNginx::Available())
        GTEST_SKIP() << "tinyproxy or nginx is not installed";
    TTestCa ca;
    TNginxTls nginx;
    const int tls = nginx.AddTlsServer(ca.Issue("good", TTestCa::Localhost()));
    nginx.AddFile("/index.html", "<html>over TLS</html>");
    nginx.Start();
    TTinyproxy proxy;
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
    WorkDir dir;
    PutFile("sentrel.ini", "[main]\r\nproxy=http://" + proxy.HostPort() + "\r\n");
    const std::string host = "https://localhost:" + std::to_string(nginx.Port(tls)) + "/index.html";
    app::CommandLine cl;
    ASSERT_EQ(app::ParseCommandLine({"--check", "-v", "--contains", "over TLS", host}, cl, false), "");
    // The run prints on stdout: into a file for the test.
    std::fflush(stdout);
    const int saved = dup(1);
    const int out = ::open("out.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(out, 1);
    const int status = app::RunCheck(cl);
    std::fflush(stdout);
    dup2(saved, 1);
    ::close(saved);
    ::close(out);
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(status, 0);
    const std::string text = GetFile("out.txt");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        text, m,
        std::regex(
            "Successful connection to: " + std::regex_replace(host, std::regex(R"([.?*+/])"), R"(\$&)") +
            R"( \[[0-9.]+ ms\]\nlookup ([0-9.]+) ms, connect ([0-9.]+) ms, proxy ([0-9.]+) ms, )"
            R"(tls ([0-9.]+) ms, first byte ([0-9.]+) ms, total ([0-9.]+) ms, 0 redirects, 21 bytes, )"
            R"(status 200\n)")))
        << text;
    double sum = 0;
    for (int i = 1; i <= 5; ++i) sum += std::stod(m[i]);
    // Each shown to a tenth of a millisecond; together they never pass the
    // total, and they are most of it: what is left is the reply's own
    // transfer after its first byte, which a busy machine can stretch by a
    // few milliseconds.
    const double total = std::stod(m[6]);
    EXPECT_LE(sum, total + 0.5) << text;
    EXPECT_GE(sum, total / 2) << text;
}
