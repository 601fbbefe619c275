// The monitor end to end against servers on 127.0.0.1 that the test starts:
// a pass with the real HTTP client over every per-host outcome, then the
// command-line program itself (sentrel-cli), as a user runs it, with --check
// and --headless, and the window program's runs without a window.
#include "MonitorRun.h"

using namespace monitortest;

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
        {{Answer("HTTP/1.0 404 Not\x1b]0;pwned\x07 Found\r\n\r\nx")},
         false,
         "terminal sequence in the reason"},
        {{Answer("HTTP/1.0 404 Not\x9b"
                 "2J\xc2\x9b"
                 "2J\xe2\x80\xae Found\r\n\r\nx")},
         false,
         "C1 controls and a bidirectional override in the reason"},
        {{Answer("HTTP/1.1 100 Continue\r\n\r\n" + std::string(kPage))}, true, "interim 100 reply"},
        {{{ReadRequest(), SendBytes("HTTP/1.0 200 OK\r\n" + kept), WaitForClose(12000)}},
         true,
         "complete body on a connection left open (the monitor's limit is 10 s)"},
        {{Answer("HTTP/1.0 200 OK\r\nSet-Cookie: " + std::string(20000, 'c') + "\r\n\r\nok")},
         true,
         "20 KB Set-Cookie"},
        {{Answer("HTTP/1.0 302 Found\r\nLocation: ./ok\r\n\r\n"), Answer(kPage)}, true, "relative ./ok"},
        {{Answer("HTTP/1.0 302 Found\r\nLocation: sub/x\r\n\r\n"), Answer(kPage)}, true, "relative sub/x"},
        {{Answer("HTTP/2 503\r\n\r\n<html>down</html>")}, false, "HTTP/2 status line"},
        {{Answer("HTTP/1.1 500 Oops\r\nHTTP/1.1 200 OK\r\n\r\nfine")}, false, "second status line"},
        {{Answer("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n")}, false, "header cut before its end"},
        {{Answer("HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nbody")}, false, "negative length"},
        {{Answer("HTTP/1.0 301 Moved\r\nContent-Length: 0\r\nLocation: /final\r\n\r\n"), Answer(kPage)},
         true,
         "a redirect's length is not the final page's"},
    };
    std::vector<std::unique_ptr<TScriptedPeer>> peers;
    Lines args{"--check"};
    for (auto& c : cases) {
        peers.push_back(std::make_unique<TScriptedPeer>(c.scripts));
        args.push_back(peers.back()->HostPort() + "/dir/doc");
    }
    // Entries in other forms: a fragment is never sent, and a scheme that is
    // not fetched fails before any connection.
    TScriptedPeer fragment({Answer(kPage)});
    TScriptedPeer ftp({Answer(kPage)});
    const std::string withFragment = fragment.HostPort() + "/page#part";
    const std::string ftpUrl = "ftp://" + ftp.HostPort() + "/";
    args.push_back(withFragment);
    args.push_back(ftpUrl);
    // A "/" in a password splits the URL early ("localhost" is the host
    // then, on a port that is no number): no part of the password shows.
    const std::string slashed = "http://localhost:se/cret@" + ftp.HostPort() + "/";
    args.push_back(slashed);
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
        if (cases[i].passes) {
            EXPECT_TRUE(logged(">Successful connection to: " + args[i + 1]));
        }
    }
    EXPECT_TRUE(logged(">Successful connection to: " + withFragment));
    ASSERT_EQ(fragment.Requests().size(), 1u);
    EXPECT_EQ(fragment.Requests()[0].substr(0, 20), "GET /page HTTP/1.0\r\n");
    EXPECT_TRUE(logged("!Error accessing host: " + ftpUrl));
    EXPECT_NE(r.out.find("Unsupported protocol"), std::string::npos);
    EXPECT_EQ(ftp.Connections(), 0);
    EXPECT_EQ(GetFile("status.log").find("cret"), std::string::npos);
    EXPECT_EQ(r.out.find("cret"), std::string::npos);
    EXPECT_TRUE(logged(">Successful connection to: " + shown));
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("Not\\x1B]0;pwned\\x07 Found"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Not\\x9B2J\\u009B2J\\u202E Found"), std::string::npos) << r.out;
    EXPECT_EQ(GetFile("status.log").find("secret"), std::string::npos);
    EXPECT_EQ(r.out.find("secret"), std::string::npos);
    EXPECT_NE(r.out.find("Checking \"" + shown + "\" Now"), std::string::npos);
    ASSERT_EQ(secret.Requests().size(), 1u);
    EXPECT_NE(secret.Requests()[0].find("Authorization: Basic dXNlcjpzZWNyZXQ=\r\n"), std::string::npos)
        << "the request itself still uses it";
}

// What one host's reply set on the client never shapes the next host's
// request: a Content-Range (with a bare CR in it) does not become a Range.
TEST(MonitorPass, ReplyOfOneHostNeverShapesTheNextHostsRequest) {
    for (const char* range : {"bytes 100-199/1000", "bytes 100-199\r/1000"}) {
        SCOPED_TRACE(range);
        WorkDir dir;
        TScriptedPeer first(
            {Answer(std::string("HTTP/1.0 200 OK\r\nContent-Range: ") + range + "\r\n\r\npart")});
        TScriptedPeer second({Answer(kPage)});
        PutFile("sentrel.ini", Ini({first.HostPort(), second.HostPort()}));
        RecordingView view;
        app::TServerForm settings;
        auto http = app::MakeHttpGetter();
        app::TQzController c(view, settings, *http);
        c.FormCreate();
        c.FormShow();
        TWatchdog dog(20000, [&] { http->Abort(); });
        c.CheckNowButtonClick();
        EXPECT_TRUE(c.Failures().empty());
        ASSERT_EQ(second.Requests().size(), 1u);
        EXPECT_EQ(second.Requests()[0].find("Range:"), std::string::npos) << second.Requests()[0];
        c.FormClose();
    }
}

// A name with a control character is no host: it fails without a lookup,
// instead of checking the part before a NUL and logging the whole, in a pass
// one host at a time and in one that fetches several at once.
TEST(MonitorPass, HostNamesWithControlCharactersAreInvalid) {
    for (int concurrency : {1, 2}) {
        SCOPED_TRACE(concurrency);
        WorkDir dir;
        TScriptedPeer page({Answer(kPage)});
        const Lines hosts{page.HostPort() + std::string("\0.invalid", 9), page.HostPort() + "\x1b[2J"};
        RecordingView view;
        app::TServerForm settings;
        auto http = app::MakeHttpGetter();
        app::TQzController c(view, settings, *http);
        c.FormCreate();
        c.SetConcurrency(concurrency);
        c.SetHostList(hosts);
        c.OpenLog();
        TWatchdog dog(20000, [&] { http->Abort(); });
        c.CheckNowButtonClick();
        ASSERT_EQ(c.Failures().size(), 2u);
        for (const auto& f : c.Failures()) EXPECT_EQ(f.second, "invalid host name");
        EXPECT_EQ(page.Requests().size(), 0u);
    }
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
    // A log that takes no line: the check still runs, the failure is said
    // once, and the run does not count as clean.
    PutFile("sentrel.ini", Ini({page}, "logname=/dev/full\r\n"));
    r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("All servers connected correctly\n"), std::string::npos);
    EXPECT_EQ(r.err, "Kvo Sentrel: Cannot write to /dev/full: Disk full.\n");

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
        EXPECT_NE(r.out.find("Successful connection to: http://[::1]:" + port + "/"), std::string::npos)
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
    // A pass that fetches several hosts at once: every client goes through it.
    PutFile(
        "sentrel.ini",
        Ini({host, "127.0.0.1:" + port, host + "/index.html"},
            "concurrency=3\r\nproxy=socks5h://ann:pw@127.0.0.1:" + std::to_string(socks.Port()) + "\r\n"));
    r = Start({"--check"}, 30000);
    EXPECT_EQ(r.status, 0) << r.out;
    for (int i = 0; i < 100 && socks.Connections() < 4; ++i) usleep(10000);
    EXPECT_EQ(socks.Connections(), 4);
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
    // The first pass at once, the second one cycle after it.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(r.status, 0);
    Lines lines = LogLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[1], "-Logging connectivity");
    EXPECT_EQ(lines[2], ">Starting automatic monitoring");
    EXPECT_EQ(lines[3], "@Monitoring now on");
    EXPECT_EQ(lines.back(), ".Finished logging connectivity");
    // The first pass runs as a tick and names the first host;
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

// Without "Start check on load" and with the default cycle of 30 s, a run
// without a window still switches monitoring on and checks at once: the
// first outcome comes long before the first cycle would end.
TEST(MonitorProgram, HeadlessMonitorsFromItsStartWhateverStartCheckOnLoadSays) {
    for (const char* program : {"sentrel-cli", kWindowProgram}) {
        if (!*program) continue;
        SCOPED_TRACE(program);
        TScriptedPeer a({Answer(kPage)});
        WorkDir dir;
        PutFile("sentrel.ini", Ini({a.HostPort()}, "frequency=30\r\n"));
        ProgramRun r = Start(
            {"--headless"}, 10000, true,
            [] { return GetFile("status.log").find("connected correctly") != std::string::npos; }, program);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(LogLines(), (Lines{"header", "-Logging connectivity", ">Starting automatic monitoring",
                                     "@Monitoring now on", " Checking \"" + a.HostPort() + "\" Now",
                                     " Checking \"" + a.HostPort() + "\" Now",
                                     ">Successful connection to: " + a.HostPort(),
                                     ">All servers connected correctly", ".Finished logging connectivity"}));
        EXPECT_EQ(r.out.rfind("Now Active\nChecking \"" + a.HostPort() + "\" Now\n", 0), 0u) << r.out;
    }
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
        Lines args;  // after --headless
    };
    const std::vector<Case> cases{
        {"a missing folder",
         "logname=no-such-folder/status.log\r\n",
         nullptr,
         "Kvo Sentrel: Cannot write to no-such-folder/status.log: File not found.\n",
         {}},
        {"a directory of the log's name",
         "",
         [] { fs::create_directory("status.log"); },
         "Kvo Sentrel: Cannot write to status.log: Invalid filename.\n",
         {}},
        {"a full disk",
         "logname=/dev/full\r\n",
         nullptr,
         "Kvo Sentrel: Cannot write to /dev/full: Disk full.\n",
         {}},
        {"a cycle time the timer cannot hold",
         "frequency=3000000\r\n",
         nullptr,
         "Kvo Sentrel: Integer overflow.\n",
         {}},
        {"quiet hours that cannot be read",
         "quiet=Mon-Fri 22:00-06:00, Sun 2:00-4:00\r\n",
         nullptr,
         "Kvo Sentrel: quiet in sentrel.ini: entry 2 \"Sun 2:00-4:00\": expected HH:MM-HH:MM after the days.\n",
         {}},
        {"a metrics file in a missing folder",
         "",
         nullptr,
         "Kvo Sentrel: Unable to write to no-such-folder/sentrel.prom: No such file or directory.\n",
         {"--metrics-file", "no-such-folder/sentrel.prom"}},
        {"a metrics file that is a pipe, not replaced by a regular file",
         "",
         [] { ::mkfifo("sentrel.prom", 0600); },
         "Kvo Sentrel: Unable to write to sentrel.prom: not a regular file.\n",
         {"--metrics-file", "sentrel.prom"}},
        {"a metrics address that is not this machine's",
         "",
         nullptr,
         "Kvo Sentrel: Cannot serve metrics on 192.0.2.1:9117: Error 10049 in function Bind: Address not "
         "available.\n",
         {"--metrics-listen", "192.0.2.1:9117"}},
    };
    for (const char* program : {"sentrel-cli", kWindowProgram}) {
        if (!*program) continue;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(program) + ": " + c.what);
            WorkDir dir;
            if (c.prepare) c.prepare();
            PutFile("sentrel.ini", Ini({"127.0.0.1:1"}, "autostart=1\r\n" + c.settings));
            Lines args{"--headless"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            ProgramRun r = Start(args, 10000, false, nullptr, program);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.err);
            EXPECT_LT(r.took, std::chrono::seconds(1));
            EXPECT_EQ(r.out.find("Now Active"), std::string::npos);
        }
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

// The window itself (offscreen) publishes every pass too.
TEST(MonitorProgram, WindowProgramWritesTheMetricsFile) {
    if (!*kWindowProgram) GTEST_SKIP() << "built without the window program";
    TScriptedPeer a({Answer(kPage)});
    WorkDir dir;
    PutFile("sentrel.ini", Ini({a.HostPort()}, "autostart=1\r\nfrequency=1\r\n"));
    ProgramRun r = Start(
        {"--metrics-file", "w.prom"}, 30000, true,
        [] { return GetFile("w.prom").find("sentrel_pass_success 1\n") != std::string::npos; },
        kWindowProgram);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(GetFile("w.prom").find("sentrel_probe_success{host=\"" + a.HostPort() + "\",slot=\"1\"} 1\n"),
              std::string::npos);
}
