#include "app/core/ViewLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/core/dStrings.h"
#include "base/Exception.h"

namespace app {

namespace {

[[noreturn]] void CannotOpen(const std::string& name) {
    throw base::EFOpenError("Cannot open file " + name);
}

bool FileExists(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0;
}

// Closes the descriptor on every way out of ReadLogFile.
struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string ReadLogFile(const std::string& name) {
    FdCloser file{::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) CannotOpen(name);
    // Only a plain file is loaded: a directory opens but holds no text, and
    // a pipe could keep the window waiting for a writer for good.
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) CannotOpen(name);
    std::string text;
    if (st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            CannotOpen(name);
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

void ViewLogButtonClick(std::string& logName, const std::function<void(const std::string&)>& showStatus,
                        LogViewer& viewer) {
    logName = Strip(logName, ' ');
    if (logName.empty()) logName = kDefaultLogName;
    if (!FileExists(logName)) return;
    if (showStatus) showStatus("loading log into viewer");
    // Read whole before the viewer is touched, so a failed load leaves it
    // as it was.
    viewer.SetText(ReadLogFile(logName));
    viewer.ShowViewer();
}

}  // namespace app
