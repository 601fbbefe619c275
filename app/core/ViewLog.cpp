#include "app/core/ViewLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

std::string ReadLogFile(const std::string& name, std::size_t limit) {
    FdCloser file{::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) CannotOpen(name);
    // Only a plain file is loaded: a directory opens but holds no text, and
    // a pipe could keep the window waiting for a writer for good.
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) CannotOpen(name);
    const auto size = static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0);
    // Of a longer file only the end is read, from one byte before the cut,
    // so that a cut falling just after a line end loses no line.
    const std::size_t from = size > limit ? size - limit - 1 : 0;
    if (from > 0 && ::lseek(file.fd, static_cast<off_t>(from), SEEK_SET) < 0) CannotOpen(name);
    std::string text;
    text.reserve(size - from);
    char buf[16384];
    // The writer may add lines while this reads: what was there at the start
    // is enough.
    while (text.size() < size - from) {
        const ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            CannotOpen(name);
        }
        if (n == 0) break;
        text.append(buf, std::min(static_cast<std::size_t>(n), size - from - text.size()));
    }
    if (from == 0) return text;
    // The first line is a piece of a line: it goes, and a line saying what
    // is not shown takes its place.
    const std::size_t cut = text.find('\n');
    const std::size_t keep = cut == std::string::npos ? text.size() : cut + 1;
    const std::size_t skipped = from + keep;
    std::string shown = "[";
    shown += std::to_string(skipped) + " bytes at the start of " + name +
             " are not shown; this is its last part]\r\n";
    shown.append(text, keep);
    return shown;
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
