// The monitor end to end against servers on 127.0.0.1 that the test starts:
// a pass with the real HTTP client over every per-host outcome, then the
// command-line program itself (sentrel-cli), as a user runs it, with --check
// and --headless, and the window program's runs without a window.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "AppFakes.h"
#include "SocketPeer.h"
#include "app/core/HttpGetter.h"
#include "app/core/qz1.h"
#include "support/RealServers.h"
#include "support/ScriptedPeer.h"
#include "support/Watchdog.h"

using namespace testsupport;
using Lines = std::vector<std::string>;

namespace {

const char* const kNotFound =
    "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>no such page</html>";
#ifdef SENTREL_WINDOW_PROGRAM
const char* const kWindowProgram = "sentrel";
#else
const char* const kWindowProgram = "";
#endif

const char* const kPage = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>hello</html>";

std::string Ini(const Lines& hosts, const std::string& extra = "") {
    std::string ini = "[main]\r\n";
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        ini += "server" + std::to_string(i + 1) + "name=" + hosts[i] + "\r\n";
        ini += "server" + std::to_string(i + 1) + "active=1\r\n";
    }
    return ini + extra;
}

// The program beside this test's own binary, so the test also runs by hand
// without CTest's environment.
std::string Program(const char* name) {
    if (const char* bin = std::getenv("SENTREL_BINARY_DIR")) return std::string(bin) + "/" + name;
    return (fs::read_symlink("/proc/self/exe").parent_path() / name).string();
}

struct ProgramRun {
    int status = -1;
    std::string out, err;
    std::chrono::steady_clock::duration took{};
};

// Runs the program in the working folder with a time limit; its stdout is
// kept. With terminate, it is sent SIGTERM once done() holds or the time is up.
ProgramRun Start(const Lines& args, int limitMs, bool terminate = false,
                 const std::function<bool()>& done = nullptr, const char* program = "sentrel-cli") {
    std::string outName = (fs::current_path() / "stdout.txt").string();
    std::string errName = (fs::current_path() / "stderr.txt").string();
    std::string prog = Program(program);
    auto started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        FILE* f = std::freopen(outName.c_str(), "w", stdout);
        f = std::freopen(errName.c_str(), "w", stderr);
        (void)f;
        std::vector<char*> argv{prog.data()};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ProgramRun r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline || (terminate && done && done())) {
            kill(pid, terminate ? SIGTERM : SIGKILL);
            if (!terminate) ADD_FAILURE() << "the program did not end in time";
            if (terminate && std::chrono::steady_clock::now() > deadline)
                ADD_FAILURE() << "the runs never came";
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.took = std::chrono::steady_clock::now() - started;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = GetFile(outName);
    r.err = GetFile(errName);
    return r;
}

}  // namespace

TEST(MonitorPass, EveryOutcomeWithTheRealClient) {
    WorkDir dir;
    TScriptedPeer page({Answer(kPage)});
    TScriptedPeer silent({{ReadRequest(), CloseConn()}});  // accepts, then closes without a reply
    TScriptedPeer notFound({Answer(kNotFound)});
    std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
    Lines hosts{page.HostPort(), silent.HostPort(), refused, notFound.HostPort()};
    PutFile("sentrel.ini", Ini(hosts));

    RecordingView view;
    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    app::TQzController c(view, settings, *http);
    c.FormCreate();
    c.FormShow();
    TWatchdog dog(20000, [&] { http->Abort(); });
    c.CheckNowButtonClick();
    EXPECT_EQ(LogLines(),
              (Lines{"header", "-Logging connectivity", " Checking connectivity Now",
                     " Checking \"" + hosts[0] + "\" Now", ">Successful connection to: " + hosts[0],
                     "!Error accessing host: " + hosts[1], "!Error accessing host: " + refused,
                     "!Error accessing host: " + hosts[3], ">Successful connection to: " + hosts[3],
                     "?At least one connection failed!"}));
    EXPECT_EQ(c.HostIndex(), 4);
    EXPECT_EQ(view.lastHost, hosts[3]);
    EXPECT_EQ(view.ledColor, app::kRed);
    ASSERT_EQ(c.Failures().size(), 3u);
    EXPECT_EQ(c.Failures()[0].second, "Empty reply from server");
    EXPECT_EQ(c.Failures()[1].second, "Connection refused (Error #10061)");
    EXPECT_EQ(c.Failures()[2].second, "Not Found");
    EXPECT_TRUE(view.AllCommandsEnabled());
    c.FormClose();
}

// A name with a control character is no host: it fails without a lookup,
// instead of checking the part before a NUL and logging the whole.
TEST(MonitorPass, HostNamesWithControlCharactersAreInvalid) {
    WorkDir dir;
    TScriptedPeer page({Answer(kPage)});
    const Lines hosts{page.HostPort() + std::string("\0.invalid", 9), page.HostPort() + "\x1b[2J"};
    RecordingView view;
    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    app::TQzController c(view, settings, *http);
    c.FormCreate();
    c.SetHostList(hosts);
    c.OpenLog();
    TWatchdog dog(20000, [&] { http->Abort(); });
    c.CheckNowButtonClick();
    ASSERT_EQ(c.Failures().size(), 2u);
    for (const auto& f : c.Failures()) EXPECT_EQ(f.second, "invalid host name");
}

TEST(MonitorProgram, CheckPrintsTheOutcomesAndExitsByThePool) {
    if (!TNginx::Available()) GTEST_SKIP() << "nginx is not installed";
    TNginx nginx;
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    TScriptedPeer notFound({Answer(kNotFound)});
    std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
    WorkDir dir;
    std::string page = nginx.HostPort();
    PutFile("sentrel.ini", Ini({page, refused, notFound.HostPort()}));

    ProgramRun r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Checking connectivity Now\n"
              "Checking \"" +
                  page +
                  "\" Now\n"
                  "Successful connection to: " +
                  page +
                  "\n"
                  "Checking \"" +
                  refused +
                  "\" Now\n"
                  "Error accessing host: " +
                  refused +
                  " (Connection refused (Error #10061))\n"
                  "Checking \"" +
                  notFound.HostPort() +
                  "\" Now\n"
                  "Error accessing host: " +
                  notFound.HostPort() +
                  " (Not Found)\n"
                  "Successful connection to: " +
                  notFound.HostPort() +
                  "\n"
                  "At least one connection failed!\n");
    EXPECT_EQ(LogLines(), (Lines{"header", " Checking connectivity Now", " Checking \"" + page + "\" Now",
                                 ">Successful connection to: " + page, "!Error accessing host: " + refused,
                                 "!Error accessing host: " + notFound.HostPort(),
                                 ">Successful connection to: " + notFound.HostPort(),
                                 "?At least one connection failed!"}));

    PutFile("sentrel.ini", Ini({page}));
    r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("All servers connected correctly\n"), std::string::npos);

    // Hosts on the command line take the place of the pool.
    r = Start({"--check", refused}, 30000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find(page), std::string::npos);
}

// An IPv6 literal on the command line, and the proxy of sentrel.ini, which
// every check goes through (and one that cannot be read fails the check
// instead of going direct).
TEST(MonitorProgram, CheckReachesIPv6AndGoesThroughTheConfiguredProxy) {
    if (!TNginx::Available()) GTEST_SKIP() << "nginx is not installed";
    TNginx nginx;
    nginx.ListenIPv6 = sockettest::HasIPv6Loopback();
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    WorkDir dir;
    const std::string port = std::to_string(nginx.Port());
    if (nginx.ListenIPv6) {
        PutFile("sentrel.ini", Ini({}));
        ProgramRun r = Start({"--check", "http://[::1]:" + port + "/"}, 30000);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Successful connection to: http://[::1]:" + port + "/\n"), std::string::npos)
            << r.out;
    } else {
        std::cout << "[::1] skipped: this machine has no ::1\n";
    }
    if (!TMicrosocks::Available()) GTEST_SKIP() << "microsocks is not installed";
    TMicrosocks socks;
    ASSERT_TRUE(socks.Start("ann", "pw")) << socks.Error();
    const std::string host = "localhost:" + port;
    PutFile("sentrel.ini",
            Ini({host}, "proxy=socks5h://ann:pw@127.0.0.1:" + std::to_string(socks.Port()) + "\r\n"));
    ProgramRun r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 0) << r.out;
    for (int i = 0; i < 100 && socks.Connections() < 1; ++i) usleep(10000);
    EXPECT_EQ(socks.Connections(), 1);
    PutFile("sentrel.ini", Ini({host}, "proxy=socks9://127.0.0.1\r\n"));
    r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.out.find("Error accessing host: " + host + " (proxy in sentrel.ini: unsupported proxy scheme"),
        std::string::npos)
        << r.out;
}

TEST(MonitorProgram, HeadlessChecksOnceACycleAndEndsOnSigterm) {
    TScriptedPeer a({Answer(kPage)});
    TScriptedPeer b({Answer(kPage)});
    WorkDir dir;
    PutFile("sentrel.ini", Ini({a.HostPort(), b.HostPort()}, "autostart=1\r\nfrequency=1\r\n"));
    auto started = std::chrono::steady_clock::now();
    auto passes = [] {
        std::string log = GetFile("status.log");
        std::size_t n = 0;
        for (auto p = log.find("All servers connected correctly"); p != std::string::npos;
             p = log.find("All servers connected correctly", p + 1))
            ++n;
        return n >= 2;
    };
    ProgramRun r = Start({"--headless"}, 15000, true, passes);
    // One cycle to the first pass and one more to the second.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
    EXPECT_EQ(r.status, 0);
    Lines lines = LogLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[1], "-Logging connectivity");
    EXPECT_EQ(lines[2], ">Starting automatic monitoring");
    EXPECT_EQ(lines[3], "@Monitoring now on");
    EXPECT_EQ(lines.back(), ".Finished logging connectivity");
    // The first tick comes one cycle after start and names the first host;
    // the next names the last host of the previous pass.
    Lines ticks;
    for (std::size_t i = 4; i + 1 < lines.size(); ++i)
        if (lines[i].rfind(" Checking", 0) == 0 && i + 1 < lines.size() &&
            lines[i + 1] == " Checking \"" + a.HostPort() + "\" Now")
            ticks.push_back(lines[i]);
    ASSERT_EQ(ticks.size(), 2u) << r.out;
    EXPECT_EQ(ticks[0], " Checking \"" + a.HostPort() + "\" Now");
    EXPECT_EQ(ticks[1], " Checking \"" + b.HostPort() + "\" Now");
    // Each status text is printed on its own line.
    EXPECT_EQ(r.out.rfind("Now Active\n", 0), 0u);
    EXPECT_NE(r.out.find("All servers connected correctly\n"), std::string::npos);
}

// A monitor without a window that cannot work ends at once with status 1 and
// the reason on stderr, instead of idling as if it monitored.
TEST(MonitorProgram, HeadlessThatCannotMonitorExitsWithTheError) {
    struct Case {
        const char* what;
        std::string settings;
        std::function<void()> prepare;
        std::string err;
    };
    const std::vector<Case> cases{
        {"a missing folder", "logname=no-such-folder/status.log\r\n", nullptr,
         "Kvo Sentrel: Cannot write to no-such-folder/status.log: File not found.\n"},
        {"a directory of the log's name", "", [] { fs::create_directory("status.log"); },
         "Kvo Sentrel: Cannot write to status.log: Invalid filename.\n"},
        {"a full disk", "logname=/dev/full\r\n", nullptr,
         "Kvo Sentrel: Cannot write to /dev/full: Disk full.\n"},
        {"a cycle time the timer cannot hold", "frequency=3000000\r\n", nullptr,
         "Kvo Sentrel: Integer overflow.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WorkDir dir;
        if (c.prepare) c.prepare();
        PutFile("sentrel.ini", Ini({"127.0.0.1:1"}, "autostart=1\r\n" + c.settings));
        ProgramRun r = Start({"--headless"}, 10000);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_LT(r.took, std::chrono::seconds(1));
        EXPECT_EQ(r.out.find("Now Active"), std::string::npos);
    }
}

TEST(MonitorProgram, UnknownOptionIsAnError) {
    WorkDir dir;
    for (const char* program : {"sentrel-cli", kWindowProgram}) {
        if (!*program) continue;
        SCOPED_TRACE(program);
        ProgramRun r = Start({"--bogus"}, 10000, false, nullptr, program);
        EXPECT_EQ(r.status, 2);
        r = Start({"--help"}, 10000, false, nullptr, program);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("--check"), std::string::npos);
    }
}

// The window program runs the same check without opening a window.
TEST(MonitorProgram, WindowProgramChecksWithoutAWindow) {
    if (!*kWindowProgram) GTEST_SKIP() << "built without the window program";
    TScriptedPeer a({Answer(kPage)});
    WorkDir dir;
    PutFile("sentrel.ini", Ini({a.HostPort()}));
    ProgramRun r = Start({"--check"}, 30000, false, nullptr, kWindowProgram);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Checking connectivity Now\nChecking \"" + a.HostPort() +
                         "\" Now\nSuccessful connection to: " + a.HostPort() +
                         "\nAll servers connected correctly\n");
}
