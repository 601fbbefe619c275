#include "base/Stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Exception.h"

namespace base {

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    auto end = static_cast<std::size_t>(pos_ + count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, static_cast<std::size_t>(count));
    pos_ += count;
    return count;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    std::int64_t left = Size() - pos_;
    if (count > left) count = left;
    if (count <= 0) return 0;
    std::memcpy(buffer, data_.data() + pos_, static_cast<std::size_t>(count));
    pos_ += count;
    return count;
}

void TMemoryStream::SetPosition(std::int64_t pos) {
    if (pos < 0) pos = 0;
    if (pos > Size()) pos = Size();
    pos_ = pos;
}

std::int64_t TFdStream::Write(const void* buffer, std::int64_t count) {
    const char* p = static_cast<const char*>(buffer);
    std::int64_t left = count;
    while (left > 0) {
        ssize_t n = ::write(fd_, p, static_cast<std::size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EInOutError(EInOutError::CodeFromErrno(errno));
        }
        p += n;
        left -= n;
        written_ += n;
    }
    return count > 0 ? count : 0;
}

std::int64_t TFdStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    ssize_t n;
    do n = ::read(fd_, buffer, static_cast<std::size_t>(count));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : n;
}

}  // namespace base
