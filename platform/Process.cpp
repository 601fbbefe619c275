#include "platform/Process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace platform {

std::string FindProgram(const std::string& name) {
    if (name.empty()) return "";
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::stringstream in(path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(in, dir, ':');) {
        if (dir.empty()) continue;  // never the working directory by accident
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

namespace {

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// In the grandchild: from here on only calls that are safe after fork.
[[noreturn]] void ExecProgram(const char* file, char* const argv[], int reportFd) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    // Our sockets, epoll and event descriptors stay ours.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    execve(file, argv, environ);
    const int err = errno;
    ssize_t r = write(reportFd, &err, sizeof err);
    (void)r;
    _exit(127);
}

}  // namespace

std::string ExecutablePath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string ExecutableDir() {
    const std::string path = ExecutablePath();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
}

bool SpawnDetached(const std::vector<std::string>& args, std::string* error) {
    if (args.empty()) {
        SetError(error, "no program");
        return false;
    }
    const std::string file = FindProgram(args[0]);
    if (file.empty()) {
        SetError(error, args[0] + ": not found");
        return false;
    }
    // Everything the children need is built before the fork.
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        SetError(error, std::strerror(errno));
        return false;
    }
    const pid_t middle = ::fork();
    if (middle < 0) {
        const int err = errno;
        ::close(report[0]);
        ::close(report[1]);
        SetError(error, std::strerror(err));
        return false;
    }
    if (middle == 0) {
        // The middle process only starts the program and leaves, so the
        // program is nobody's child here.
        ::close(report[0]);
        ::setsid();
        const pid_t program = ::fork();
        if (program == 0) ExecProgram(file.c_str(), argv.data(), report[1]);
        if (program < 0) {
            const int err = errno;
            ssize_t r = ::write(report[1], &err, sizeof err);
            (void)r;
        }
        _exit(0);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // End of file without a word: the program was executed.
    int err = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof err)) {
        SetError(error, file + ": " + std::strerror(err));
        return false;
    }
    return true;
}

}  // namespace platform
