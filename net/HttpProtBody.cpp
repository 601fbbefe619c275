// The client's reply body: reading it in big pieces and handing it on.
#include "net/HttpProt.h"

#include <cstring>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/HttpProtInternal.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"

namespace net {

void THttpCli::ReceiveBody() {
    if (!bodyBuffer_) bodyBuffer_.reset(new char[kBodyBufferSize]);
    // A partial line left behind by a header-less "<HTML>" reply goes first,
    // in the same piece as the bytes that complete it.
    const int held = lineBuffer_.Length();
    if (held > 0) std::memcpy(bodyBuffer_.get(), lineBuffer_.Bytes().data(), static_cast<std::size_t>(held));
    int n = ReceiveBytes(bodyBuffer_.get() + held, kBodyBufferSize - held);
    if (requestKind_ == rqNone || n <= 0) return;
    lineBuffer_.Clear();
    currentLine_ = std::string_view(bodyBuffer_.get(), static_cast<std::size_t>(held + n));
    BodyHandler();
}

void THttpCli::BodyHandler() {
    if (bodyChunkCount_ == 0) {
        NotifyDocBegin();
        if (state_ != hsReceivingBody) return;
    }
    ++bodyChunkCount_;
    // Bytes beyond Content-Length are not part of the body.
    if (bodyLeft_ >= 0 && static_cast<std::int64_t>(currentLine_.size()) > bodyLeft_)
        currentLine_ = currentLine_.substr(0, static_cast<std::size_t>(bodyLeft_));
    const auto len = static_cast<std::int64_t>(currentLine_.size());
    if (bodyLeft_ > 0) bodyLeft_ -= len;
    receivedCount_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(receivedCount_) +
                                               static_cast<std::uint32_t>(len));
    if (ReceiveStream != nullptr) {
        // A body that cannot be stored ends the request as a failure: going
        // on would report success for a document that was lost.
        try {
            if (ReceiveStream->Write(currentLine_.data(), len) != len)
                throw base::Exception("Stream write error");
        } catch (const std::exception& e) {
            FailRequest(e.what(), httperrStreamFailed, 0);
            return;
        }
    }
    NotifyDocData(currentLine_.data(), static_cast<int>(len));
    // The whole body is here: the request completes without waiting for
    // the server to close.
    if (bodyLeft_ == 0 && phase_ == phBody) FinishReply();
}

}  // namespace net
