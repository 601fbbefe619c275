#include "eventlog/Kvolog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/Exception.h"

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
        if (ClearLogMode) {
            line = text;
        } else {
            // The clock is read for the time first and for the date after it.
            const std::string time = TimeText(Now());
            const std::string date = DateText(Now());
            line =
                FitField(marker.substr(0, 1), 2) + FitField(date, 12) + FitField(time, 10) + ProgramID + "  ";
            line += text;
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
    fd_ = ::open(LogName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) {
        if (errno != ENOENT) Fail(errno);
        // Created exclusively, so the header goes only into a file this
        // writer made, and nothing is ever emptied.
        fd_ = ::open(LogName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            ioResult_ = 0;
            TakeIOResult();
            WriteText(std::string(22, '-') + "  " + DateText(Now()) + "  " + ProgramID + "  " + ProgramName +
                      std::string(kLineEnd));
        } else {
            if (errno != EEXIST) Fail(errno);
            // Someone created the file since the first open, or the name is
            // a link to a missing file: append to whatever is there now.
            fd_ = ::open(LogName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            if (fd_ < 0) Fail(errno);
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
    while (!text.empty()) {
        const ssize_t n = ::write(fd_, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
        }
        // A write that takes nothing on a regular file means the disk is full.
        if (n == 0) Fail(ENOSPC);
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    ioResult_ = 0;
}

void tKvolog::Fail(int err) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    throw base::EInOutError(base::EInOutError::CodeFromErrno(err));
}

}  // namespace eventlog
