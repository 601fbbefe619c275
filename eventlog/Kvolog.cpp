#include "eventlog/Kvolog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/Exception.h"
#include "base/SafeFile.h"
#include "base/Strings.h"

namespace eventlog {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

std::string FitField(std::string_view s, int w) {
    const auto width = static_cast<std::size_t>(w < 0 ? 0 : w);
    if (s.size() > width) return std::string(s.substr(0, width));
    std::string out(s);
    out.append(width - s.size(), ' ');
    return out;
}

tKvolog::~tKvolog() {
    // Only a writer destroyed in the middle of an entry still has the file.
    if (fd_ >= 0) ::close(fd_);
}

std::tm tKvolog::LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

std::string tKvolog::DateText(const std::tm& t) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%04d", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
    return buf;
}

std::string tKvolog::TimeText(const std::tm& t) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

void tKvolog::WriteEntry(std::string_view marker, std::string_view text) {
    try {
        OpenLog();
        std::string line;
        // A server's or a user's text never brings a line break or a
        // terminal sequence of its own into the file.
        if (ClearLogMode) {
            line = base::ShowControls(text);
        } else {
            // The clock is read for the time first and for the date after it.
            const std::string time = TimeText(Now());
            const std::string date = DateText(Now());
            line =
                FitField(marker.substr(0, 1), 2) + FitField(date, 12) + FitField(time, 10) + ProgramID + "  ";
            line += base::ShowControls(text);
        }
        line += kLineEnd;
        WriteText(line);
    } catch (...) {
        // Whatever went wrong (even the clock), the file is not left open.
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        throw;
    }
    TakeIOResult();
    CloseLog();
}

void tKvolog::OpenLog() {
    // An empty name names no file; opening it would fail with a misleading
    // "File not found", so it is reported as the bad name it is.
    if (LogName.empty()) throw base::EInOutError(3);
    // Created exclusively, so the header goes only into a file this writer
    // made, and nothing is ever emptied; a link another user planted is
    // not written through.
    bool created = false;
    fd_ = base::OpenForAppend(LogName, created);
    if (fd_ < 0) Fail(errno);
    if (created) {
        ioResult_ = 0;
        TakeIOResult();
        struct stat made {};
        ::fstat(fd_, &made);
        const int err = AppendWhole(std::string(22, '-') + "  " + DateText(Now()) + "  " + ProgramID + "  " +
                                    ProgramName + std::string(kLineEnd));
        if (err != 0) {
            // A file without its header would stay so for good: it goes, and
            // the next line creates it again, header first.
            struct stat now {};
            if (::lstat(LogName.c_str(), &now) == 0 && now.st_dev == made.st_dev && now.st_ino == made.st_ino)
                ::unlink(LogName.c_str());
            Fail(err);
        }
    }
    ioResult_ = 0;
    TakeIOResult();
}

void tKvolog::CloseLog() {
    const int fd = fd_;
    fd_ = -1;
    // The descriptor is gone even when close reports an error, so it is
    // never closed twice.
    if (::close(fd) != 0) Fail(errno);
    ioResult_ = 0;
}

void tKvolog::TakeIOResult() {
    errorNumber_ = ioResult_;
    Ok = ioResult_ == 0;
    if (ioResult_ != 0) logError_ = true;
}

void tKvolog::WriteText(std::string_view text) {
    if (const int err = AppendWhole(text)) Fail(err);
    ioResult_ = 0;
}

int tKvolog::AppendWhole(std::string_view text) {
    std::size_t written = 0;
    off_t start = -1;  // where the line began, asked only once a write took part of it
    int err = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        // A write that takes nothing on a regular file means the disk is full.
        if (n == 0) {
            err = ENOSPC;
            break;
        }
        if (written == 0 && static_cast<std::size_t>(n) < text.size()) {
            // Appending leaves the offset just past what this write added.
            const off_t end = ::lseek(fd_, 0, SEEK_CUR);
            if (end >= n) start = end - n;
        }
        written += static_cast<std::size_t>(n);
    }
    // The file is cut back to where the line began, so a full disk never
    // leaves half a line for the next one to be glued to.
    struct stat st {};
    if (err != 0 && start >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        while (::ftruncate(fd_, start) != 0 && errno == EINTR) {
        }
    }
    return err;
}

void tKvolog::Fail(int err) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    throw base::EInOutError(base::EInOutError::CodeFromErrno(err));
}

}  // namespace eventlog
