// Byte streams handed between components: the HTTP client writes a reply's
// body into whatever stream its caller gives it, and the caller keeps owning
// it. TMemoryStream keeps the bytes; TCountingStream only counts them, for a
// caller that needs to know whether a body arrived, not what it said;
// TFileStream writes through to a file descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace base {

class TStream {
public:
    virtual ~TStream() = default;
    // Writes count bytes at the current position; returns how many were taken.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    // Reads up to count bytes from the current position.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Size() const = 0;
    virtual std::int64_t Position() const = 0;
    virtual void SetPosition(std::int64_t pos) = 0;
    void WriteString(const std::string& s) { Write(s.data(), static_cast<std::int64_t>(s.size())); }
};

class TMemoryStream : public TStream {
public:
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(data_.size()); }
    std::int64_t Position() const override { return pos_; }
    void SetPosition(std::int64_t pos) override;
    void Clear() {
        data_.clear();
        pos_ = 0;
    }
    const std::vector<char>& Data() const { return data_; }
    std::string DataString() const { return std::string(data_.begin(), data_.end()); }

private:
    std::vector<char> data_;
    std::int64_t pos_ = 0;
};

// Takes every byte and keeps none: Size() is how many were written.
class TCountingStream : public TStream {
public:
    std::int64_t Write(const void*, std::int64_t count) override {
        if (count > 0) size_ += count;
        return count > 0 ? count : 0;
    }
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Size() const override { return size_; }
    std::int64_t Position() const override { return size_; }
    void SetPosition(std::int64_t) override {}

private:
    std::int64_t size_ = 0;
};

// A stream over a file descriptor opened by the caller (stdout, or a file the
// caller created); it does not close the descriptor. A failed write raises
// EInOutError with the code of the failure.
class TFdStream : public TStream {
public:
    explicit TFdStream(int fd) : fd_(fd) {}
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Size() const override { return written_; }
    std::int64_t Position() const override { return written_; }
    void SetPosition(std::int64_t) override {}

private:
    int fd_;
    std::int64_t written_ = 0;
};

}  // namespace base
