// The send chain's block. A socket never blocks on sending: Send copies the
// caller's bytes into a list of fixed-size TBuffer blocks that the socket
// owns, and the drain hands them to the platform as far as it accepts them.
// Only the last block of a chain takes new bytes and only the first one is
// drained. A TBuffer owns its storage; it is used from the socket's thread
// only and calls nothing back.
#pragma once

#include <cstdint>
#include <memory>

namespace net {

class TBuffer {
public:
    static constexpr std::int32_t DefaultSize = 1514;

    // A size of 0 or less means DefaultSize.
    explicit TBuffer(std::int32_t size = DefaultSize);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Copies as much of data as fits behind the bytes already written and
    // returns the count taken (0 when the block is full).
    std::int32_t Append(const void* data, std::int32_t length);
    // The first unsent byte and the number of unsent bytes; nullptr and 0
    // when every written byte has been consumed.
    const char* PeekData(std::int32_t& length) const;
    // Marks up to count unsent bytes as sent and returns how many were. When
    // the last unsent byte goes, the block is empty again and can be refilled
    // from its start.
    std::int32_t Consume(std::int32_t count);

    std::int32_t BufSize() const { return bufSize_; }
    std::int32_t WrCount() const { return wrCount_; }
    std::int32_t RdCount() const { return rdCount_; }

private:
    std::int32_t bufSize_ = DefaultSize;
    std::unique_ptr<char[]> data_;
    std::int32_t wrCount_ = 0;  // bytes written into the block
    std::int32_t rdCount_ = 0;  // of those, bytes already handed to the platform
};

}  // namespace net
