// The monitor end to end against servers on 127.0.0.1 that the test starts:
// a pass with the real HTTP client over every per-host outcome, then the
// command-line program itself (sentrel-cli), as a user runs it, with --check
// and --headless, and the window program's runs without a window.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <thread>

#include "AppFakes.h"
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

// The output without the time each host's request took; the count of times
// goes to timed.
std::string Untimed(const std::string& out, int* timed = nullptr) {
    static const std::regex time(R"( \[[0-9]+\.[0-9] ms\])");
    if (timed)
        *timed = static_cast<int>(std::distance(std::sregex_iterator(out.begin(), out.end(), time), {}));
    return std::regex_replace(out, time, "");
}

// The log with every digit masked: two runs' logs differ only in their
// dates and times.
std::string MaskedLog() {
    std::string log = GetFile("status.log");
    for (char& ch : log)
        if (ch >= '0' && ch <= '9') ch = '#';
    return log;
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

// Error statuses fail the host and turn the LED red, whatever their body.
TEST(MonitorPass, ErrorStatusesTurnTheLedRed) {
    for (const char* status :
         {"400 Bad Request", "403 Forbidden", "500 Internal Server Error", "503 Service Unavailable"}) {
        SCOPED_TRACE(status);
        WorkDir dir;
        TScriptedPeer peer({Answer(std::string("HTTP/1.0 ") + status +
                                   "\r\nContent-Type: text/html\r\n\r\n<html>sorry</html>")});
        PutFile("sentrel.ini", Ini({peer.HostPort()}));
        RecordingView view;
        app::TServerForm settings;
        auto http = app::MakeHttpGetter();
        app::TQzController c(view, settings, *http);
        c.FormCreate();
        c.FormShow();
        TWatchdog dog(20000, [&] { http->Abort(); });
        c.CheckNowButtonClick();
        Lines lines = LogLines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[lines.size() - 3], "!Error accessing host: " + peer.HostPort());
        EXPECT_EQ(lines.back(), "?At least one connection failed!");
        EXPECT_EQ(view.ledColor, app::kRed);
        EXPECT_TRUE(view.ledBlink);
        c.FormClose();
    }
}

// --check with a host for each reply a server may give: a reply that is no
// success fails its host, and a healthy reply in an unusual form passes.
// The password of a host is never shown or logged.
TEST(MonitorProgram, CheckTellsEachReplyTruthfully) {
    const std::string manyLines = [] {
        std::string s = "HTTP/1.0 200 OK\r\n";
        for (int i = 0; i < 60000; ++i) s += "X: y\r\n";
        return s;
    }();
    const std::string kept = "Content-Length: 5\r\n\r\nhello";
    struct {
        std::vector<TPeerScript> scripts;
        bool passes;
        const char* why;
    } cases[] = {
        {{{ReadRequest(), CloseConn()}}, false, "empty reply"},
        {{{ReadRequest(), ResetConn()}}, false, "reset before the reply"},
        {{{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\nX: "), PauseMs(100), ResetConn()}},
         false,
         "reset in the header"},
        {{{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n\r\nsome"), PauseMs(100), ResetConn()}},
         false,
         "reset in a body without a length"},
        {{{ReadRequest(), SendBytes("SSH-2.0-OpenSSH_9.2p1\r\n"), WaitForClose(12000)}}, false, "not HTTP"},
        {{Answer("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort")}, false, "body cut short"},
        {{{ReadRequest(), SendBytes(std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\nbody", 31)),
           WaitForClose(12000)}},
         false,
         "zero byte in the header"},
        {{{ReadRequest(), SendBytes(manyLines), WaitForClose(12000)}}, false, "header too large"},
        {{Answer("HTTP/1.0 400 Bad Request\r\n\r\nbad")}, false, "400"},
        {{Answer("HTTP/1.0 403 Forbidden\r\n\r\nno")}, false, "403"},
        {{Answer("HTTP/1.0 500 Internal Server Error\r\n\r\noops")}, false, "500"},
        {{Answer("HTTP/1.0 503 Service Unavailable\r\n\r\nlater")}, false, "503"},
        {{Answer("HTTP/1.1 100 Continue\r\n\r\n" + std::string(kPage))}, true, "interim 100 reply"},
        {{{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n" + kept), WaitForClose(12000)}},
         true,
         "complete body on a connection left open (the monitor's limit is 10 s)"},
        {{Answer("HTTP/1.0 200 OK\r\nSet-Cookie: " + std::string(20000, 'c') + "\r\n\r\nok")},
         true,
         "20 KB Set-Cookie"},
        {{Answer("HTTP/1.0 302 Found\r\nLocation: ./ok\r\n\r\n"), Answer(kPage)}, true, "relative ./ok"},
        {{Answer("HTTP/1.0 302 Found\r\nLocation: sub/x\r\n\r\n"), Answer(kPage)}, true, "relative sub/x"},
    };
    std::vector<std::unique_ptr<TScriptedPeer>> peers;
    Lines args{"--check"};
    for (auto& c : cases) {
        peers.push_back(std::make_unique<TScriptedPeer>(c.scripts));
        args.push_back(peers.back()->HostPort() + "/dir/doc");
    }
    TScriptedPeer secret({Answer(kPage)});
    const std::string withPassword = "http://user:secret@" + secret.HostPort() + "/";
    const std::string shown = "http://user:***@" + secret.HostPort() + "/";
    args.push_back(withPassword);
    WorkDir dir;
    PutFile("sentrel.ini", Ini({}));
    ProgramRun r = Start(args, 120000);
    EXPECT_EQ(r.status, 1);
    Lines log = LogLines();
    auto logged = [&](const std::string& line) {
        return std::find(log.begin(), log.end(), line) != log.end();
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].why);
        EXPECT_EQ(logged("!Error accessing host: " + args[i + 1]), !cases[i].passes);
        EXPECT_EQ(logged(" Checking \"" + args[i + 1] + "\" Now"), cases[i].passes);
    }
    EXPECT_TRUE(logged(">Successful connection to: " + shown));
    EXPECT_EQ(GetFile("status.log").find("secret"), std::string::npos);
    EXPECT_EQ(r.out.find("secret"), std::string::npos);
    EXPECT_NE(r.out.find("Checking \"" + shown + "\" Now"), std::string::npos);
    ASSERT_EQ(secret.Requests().size(), 1u);
    EXPECT_NE(secret.Requests()[0].find("Authorization: Basic dXNlcjpzZWNyZXQ=\r\n"), std::string::npos)
        << "the request itself still uses it";
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

// A server that sends a body without end: the pass reads until its time
// limit, past 2 GiB on a fast machine, counts every byte without overflow,
// and still writes the host's lines and the summary.
TEST(MonitorPass, EndlessBodyEndsAtTheTimeLimitWithItsLines) {
    WorkDir dir;
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string host = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    std::atomic<bool> stop{false};
    std::thread server([&] {
        pollfd p{lfd, POLLIN, 0};
        if (poll(&p, 1, 15000) <= 0) return;
        int fd = accept(lfd, nullptr, nullptr);
        char request[4096];
        (void)!recv(fd, request, sizeof request, 0);
        const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
        (void)!send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        const std::string body(1 << 20, 'x');
        while (!stop && send(fd, body.data(), body.size(), MSG_NOSIGNAL) > 0) {
        }
        close(fd);
    });
    RecordingView view;
    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    app::TQzController c(view, settings, *http);
    c.FormCreate();
    c.SetHostList({host});
    c.OpenLog();
    TWatchdog dog(30000, [&] { http->Abort(); });
    c.CheckNowButtonClick();
    stop = true;
    server.join();
    close(lfd);
    EXPECT_EQ(LogLines(), (Lines{"header", " Checking connectivity Now", "!Error accessing host: " + host,
                                 ">Successful connection to: " + host, "?At least one connection failed!"}));
    ASSERT_EQ(c.Failures().size(), 1u);
    EXPECT_EQ(c.Failures()[0].second, "Connection timed out (Error #10060)");
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
    int timed = 0;
    EXPECT_EQ(Untimed(r.out, &timed),
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
    EXPECT_EQ(timed, 4);  // after each outcome line of a host
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

TEST(MonitorProgram, ConcurrentCheckPrintsAndLogsWhatAOneAtATimeCheckDoes) {
    // The first host answers last.
    TScriptedPeer slow({{ReadRequest(), PauseMs(400), SendBytes(kPage), CloseConn()}});
    TScriptedPeer notFound({Answer(kNotFound)});
    TScriptedPeer page({Answer(kPage)});
    std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
    WorkDir dir;
    PutFile("sentrel.ini", Ini({slow.HostPort(), refused, notFound.HostPort(), page.HostPort()}));
    ProgramRun one = Start({"--check"}, 30000);
    std::string oneLog = MaskedLog();
    fs::remove("status.log");
    ProgramRun many = Start({"--check", "--concurrency", "4"}, 30000);
    EXPECT_EQ(many.status, one.status);
    EXPECT_EQ(Untimed(many.out), Untimed(one.out));
    EXPECT_EQ(MaskedLog(), oneLog);
    EXPECT_EQ(slow.Connections(), 2);
}

TEST(MonitorProgram, SigtermDuringAConcurrentPassAbortsItAndFinishesTheLog) {
    TPeerScript hold{ReadRequest(), WaitForClose(20000)};
    TScriptedPeer a({hold}), b({hold}), c({hold});
    WorkDir dir;
    PutFile("sentrel.ini", Ini({a.HostPort(), b.HostPort(), c.HostPort()},
                               "autostart=1\r\nfrequency=1\r\nconcurrency=3\r\n"));
    auto started = std::chrono::steady_clock::now();
    // SIGTERM once the first tick's three requests are all in flight.
    ProgramRun r = Start({"--headless"}, 15000, true,
                         [&] { return a.Connections() + b.Connections() + c.Connections() == 3; });
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(10));  // not the client's time limit
    Lines lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), ".Finished logging connectivity");
    EXPECT_EQ(lines[lines.size() - 2],
              " Checking \"" + a.HostPort() + "\" Now");  // the tick's line, no outcome
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
    EXPECT_EQ(Untimed(r.out), "Checking connectivity Now\nChecking \"" + a.HostPort() +
                                  "\" Now\nSuccessful connection to: " + a.HostPort() +
                                  "\nAll servers connected correctly\n");
}
