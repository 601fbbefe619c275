#include "base/SafeFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace base {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit of links in a path

std::string DirName(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
std::string BaseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SystemText(int err) {
    errno = err;
    return std::strerror(err);
}

std::string Refuse(int err, const char* why) {
    errno = err;
    return why;
}

// A link we may follow: ours, or root's (who could write the file anyway).
bool TrustedLink(const struct stat& st) {
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

// A save killed before its rename leaves "<name>.tmp-<pid>" or
// "<name>.tmp-<pid>-XXXXXX" behind; those of processes that no longer run
// are removed. A live process's file is its save in progress and stays.
void RemoveLeftovers(const std::string& fileName) {
    const std::string dir = DirName(fileName);
    const std::string prefix = BaseName(fileName) + ".tmp-";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = name.substr(prefix.size());
        const auto dash = rest.find('-');
        std::string digits = rest.substr(0, dash);
        if (dash != std::string::npos && rest.size() - dash != 7) continue;
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
            digits.size() > 9)
            continue;
        const pid_t pid = static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        ::unlink((dir + "/" + name).c_str());
    }
    ::closedir(d);
}

// The mode a new file gets from the process's umask, as open(0666) would.
mode_t NewFileMode() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string ResolveWriteTarget(const std::string& path, std::string& target) {
    target = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) return "";  // to be created
            return SystemText(errno);
        }
        if (!S_ISLNK(st.st_mode)) return "";
        if (!TrustedLink(st)) return Refuse(EACCES, "a link owned by another user");
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), buf, sizeof buf - 1);
        if (n <= 0) return SystemText(n < 0 ? errno : ENOENT);
        std::string next(buf, static_cast<std::size_t>(n));
        target = next.front() == '/' ? next : DirName(target) + "/" + next;
    }
    return SystemText(ELOOP);
}

std::string WriteFileWhole(const std::string& path, const std::string& data) {
    if (path.empty()) return SystemText(ENOENT);
    std::string target;
    if (std::string why = ResolveWriteTarget(path, target); !why.empty()) return why;
    struct stat old {};
    const bool exists = ::lstat(target.c_str(), &old) == 0;
    // A rename would put a regular file in the place of a device or a pipe.
    if (exists && !S_ISREG(old.st_mode)) return Refuse(EINVAL, "not a regular file");
    RemoveLeftovers(target);
    // mkstemp creates exclusively and never through a link, so nobody can
    // hold the temporary file open or have it written elsewhere.
    std::string tmp = target + ".tmp-" + std::to_string(::getpid()) + "-XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return SystemText(errno);
    // Keep the mode of the file being replaced, so a save neither widens nor
    // narrows access; a new file gets what the umask allows.
    int err = 0;
    if (::fchmod(fd, exists ? (old.st_mode & 07777) : NewFileMode()) != 0) err = errno;
    const char* p = data.data();
    std::size_t left = data.size();
    while (err == 0 && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno != EINTR) err = errno;
            continue;
        }
        if (n == 0) err = ENOSPC;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return SystemText(err);
    }
    return "";
}

int OpenForAppend(const std::string& path, bool& created) {
    created = false;
    // The name itself, not a link: nothing to judge (the common case, one
    // call). A link or a missing name takes the rounds below.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || (errno != ELOOP && errno != ENOENT)) return fd;
    // A few rounds: another process may create or remove the file between
    // our open and our create.
    for (int round = 0; round < 4; ++round) {
        std::string target;
        if (!ResolveWriteTarget(path, target).empty()) return -1;
        fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == ELOOP) continue;  // a link swapped in since: judged again
        if (errno != ENOENT) return -1;
        // Created exclusively, so a header goes only into a file we made.
        fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            created = target == path;  // made through a link of ours: an existing name, no header
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EACCES;
    return -1;
}

}  // namespace base
