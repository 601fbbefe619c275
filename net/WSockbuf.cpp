#include "net/WSockbuf.h"

#include <algorithm>
#include <cstring>

namespace net {

TBuffer::TBuffer(std::int32_t size)
    : bufSize_(size <= 0 ? DefaultSize : size),
      data_(std::make_unique<char[]>(static_cast<std::size_t>(bufSize_))) {}

std::int32_t TBuffer::Append(const void* data, std::int32_t length) {
    std::int32_t count = std::min(length, bufSize_ - wrCount_);
    if (count <= 0) return 0;
    std::memcpy(data_.get() + wrCount_, data, static_cast<std::size_t>(count));
    wrCount_ += count;
    return count;
}

const char* TBuffer::PeekData(std::int32_t& length) const {
    length = wrCount_ - rdCount_;
    if (length <= 0) {
        length = 0;
        return nullptr;
    }
    return data_.get() + rdCount_;
}

std::int32_t TBuffer::Consume(std::int32_t count) {
    std::int32_t unsent = wrCount_ - rdCount_;
    if (unsent <= 0 || count <= 0) return 0;
    count = std::min(count, unsent);
    rdCount_ += count;
    if (rdCount_ >= wrCount_) {
        rdCount_ = 0;
        wrCount_ = 0;
    }
    return count;
}

}  // namespace net
