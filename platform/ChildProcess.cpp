#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/MessageLoop.h"
#include "platform/Process.h"

extern char** environ;

namespace platform {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string Name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// Our environment without the names env sets, then env.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& env) {
    std::vector<std::string> names, merged;
    for (const auto& e : env) names.push_back(Name(e));
    for (char** p = environ; p && *p; ++p) {
        std::string entry = *p;
        bool replaced = false;
        for (const auto& n : names) replaced = replaced || Name(entry) == n;
        if (!replaced) merged.push_back(std::move(entry));
    }
    merged.insert(merged.end(), env.begin(), env.end());
    return merged;
}

// In the child: from here on only calls that are safe after fork.
[[noreturn]] void ExecChild(const char* file, char* const argv[], char* const envp[], int in, int out,
                            int reportFd) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
        const int err = errno;
        ssize_t r = ::write(reportFd, &err, sizeof err);
        (void)r;
        _exit(127);
    }
    // Our sockets, epoll and event descriptors stay ours.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    execve(file, argv, envp);
    const int err = errno;
    ssize_t r = ::write(reportFd, &err, sizeof err);
    (void)r;
    _exit(127);
}

}  // namespace

TChildProcess::~TChildProcess() {
    if (pidfd_ >= 0) UnwatchFd(pidfd_);
    CloseFd(pidfd_);
    CloseOutput();
}

bool TChildProcess::Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                          std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    if (Running()) return fail("another program is running");
    if (args.empty() || args[0].empty()) return fail("no program");
    const std::string file = FindProgram(args[0]);
    if (file.empty()) return fail(args[0] + ": not found");
    // Everything the child needs is built before the fork.
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> merged = MergedEnvironment(env);
    for (const auto& e : merged) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int output[2] = {-1, -1}, report[2] = {-1, -1};
    if (in < 0 || ::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        const int err = errno;
        CloseFd(in);
        CloseFd(output[0]);
        CloseFd(output[1]);
        return fail(std::strerror(err));
    }
    const pid_t pid = ::fork();
    if (pid == 0) ExecChild(file.c_str(), argv.data(), envp.data(), in, output[1], report[1]);
    const int forkErr = errno;
    CloseFd(in);
    CloseFd(output[1]);
    CloseFd(report[1]);
    if (pid < 0) {
        CloseFd(output[0]);
        CloseFd(report[0]);
        return fail(std::strerror(forkErr));
    }
    // End of file without a word: the program was executed. The wait is
    // the child's way to execve, not the program's run.
    int err = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    CloseFd(report[0]);
    if (got == static_cast<ssize_t>(sizeof err)) {
        CloseFd(output[0]);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return fail(file + ": " + std::strerror(err));
    }
    // A child that has not been reaped keeps its pid, so the pidfd names it
    // even when it has already ended.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        const int e = errno;
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        CloseFd(output[0]);
        return fail(std::string("cannot watch the program: ") + std::strerror(e));
    }
    pid_ = pid;
    pidfd_ = pidfd;
    out_ = output[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
    WatchFd(out_, EPOLLIN, [this](std::uint32_t) { ReadOutput(); });
    WatchFd(pidfd_, EPOLLIN, [this](std::uint32_t) { Reap(); });
    return true;
}

void TChildProcess::Signal(int sig) {
    if (pid_ > 0) ::kill(-pid_, sig);
}

bool TChildProcess::Stop(unsigned graceMs) {
    if (pid_ <= 0) return false;
    ::kill(-pid_, SIGTERM);
    // The pidfd turns readable when the program has ended; until it is
    // reaped its pid, and so its group's id, belongs to nobody else.
    timespec start{}, now{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    bool ended = false;
    for (;;) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long spent =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= graceMs) break;
        pollfd p{pidfd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(graceMs - spent));
        if (r > 0) {
            ended = true;
            break;
        }
        if (r < 0 && errno != EINTR) break;
    }
    if (!ended) ::kill(-pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    UnwatchFd(pidfd_);
    CloseFd(pidfd_);
    CloseOutput();
    pid_ = -1;
    return !ended;
}

void TChildProcess::ReadOutput() {
    char buffer[16384];
    while (out_ >= 0) {
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n > 0) {
            if (OnOutput) OnOutput(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        CloseOutput();  // the end of the output, or a pipe that failed
    }
}

void TChildProcess::CloseOutput() {
    if (out_ < 0) return;
    UnwatchFd(out_);
    CloseFd(out_);
}

void TChildProcess::Reap() {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == 0) return;  // not yet: the pidfd spoke early
    // (ECHILD: someone reaped it for us, its status is lost.)
    UnwatchFd(pidfd_);
    CloseFd(pidfd_);
    pid_ = -1;
    // What the program wrote before it ended is in the pipe now; whatever a
    // descendant holding the pipe writes later is not waited for.
    ReadOutput();
    CloseOutput();
    if (OnExit) OnExit(status);
}

}  // namespace platform
