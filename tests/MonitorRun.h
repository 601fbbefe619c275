// What the monitor tests share: the settings file of a pool, running a
// program of ours as a user would, and its output and log without times.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <regex>
#include <thread>

#include "AppFakes.h"
#include "SocketPeer.h"
#include "app/core/HttpGetter.h"
#include "app/core/qz1.h"
#include "support/RealServers.h"
#include "support/ScriptedPeer.h"
#include "support/Watchdog.h"
#include "tests/support/NginxTls.h"
#include "tests/support/TestCa.h"

using namespace testsupport;
using Lines = std::vector<std::string>;

namespace monitortest {

inline const char* const kNotFound =
    "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>no such page</html>";
#ifdef SENTREL_WINDOW_PROGRAM
inline const char* const kWindowProgram = "sentrel";
#else
inline const char* const kWindowProgram = "";
#endif

inline const char* const kPage = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>hello</html>";

inline std::string Ini(const Lines& hosts, const std::string& extra = "") {
    std::string ini = "[main]\r\n";
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        ini += "server" + std::to_string(i + 1) + "name=" + hosts[i] + "\r\n";
        ini += "server" + std::to_string(i + 1) + "active=1\r\n";
    }
    return ini + extra;
}

// The program beside this test's own binary, so the test also runs by hand
// without CTest's environment.
inline std::string Program(const char* name) {
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
inline ProgramRun Start(const Lines& args, int limitMs, bool terminate = false,
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
inline std::string Untimed(const std::string& out, int* timed = nullptr) {
    static const std::regex time(R"( \[[0-9]+\.[0-9] ms\])");
    if (timed)
        *timed = static_cast<int>(std::distance(std::sregex_iterator(out.begin(), out.end(), time), {}));
    return std::regex_replace(out, time, "");
}

// The log with every digit masked: two runs' logs differ only in their
// dates and times.
inline std::string MaskedLog() {
    std::string log = GetFile("status.log");
    for (char& ch : log)
        if (ch >= '0' && ch <= '9') ch = '#';
    return log;
}

}  // namespace monitortest
