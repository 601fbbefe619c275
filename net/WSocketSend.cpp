// The socket's sending side: the chain of blocks and its flushing.
#include "net/WSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/Strings.h"
#include "net/WSocketEvents.h"
#include "platform/Application.h"
#include "platform/AsyncSelect.h"
#include "platform/SocketErrors.h"

namespace net {

using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

namespace {

bool IsDisconnectCode(int code) {
    return code == platform::WSAEINVAL || code == platform::WSAENOTSOCK ||
           code == platform::WSAECONNABORTED || code == platform::WSAECONNRESET ||
           code == platform::WSAENOTCONN;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sending: the chain of blocks

int TCustomWSocket::Send(const void* Data, int Len) {
    if (state_ != wsConnected) {
        WSocket_WSASetLastError(platform::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    allSent_ = false;
    int result = 0;
    if (Len > 0) {
        result = Len;
        QueueSendData(Data, Len);
    }
    CallOutGuard guard(*this);
    TryToSend();
    // OnDataSent always comes from the loop, never from inside Send.
    if (guard.Alive() && allSent_ && hSocket_ != INVALID_SOCKET)
        platform::PostMessage(window_, WM_ASYNCSELECT, static_cast<WPARAM>(hSocket_),
                              platform::MakeSelectReply(platform::FD_WRITE, 0));
    return result;
}

int TCustomWSocket::SendText(const std::string& Str) {
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const TSockAddrIn& Dest, const void* Data, int Len) {
    int n = WSocket_sendto(hSocket_, Data, Len, sendFlags_, Dest);
    if (n > 0) FireEvent(OnSendData, this, n);
    return n;
}

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Len <= 0) return;
    if (bufList_.empty()) bufList_.push_back(std::make_unique<TBuffer>(bufSize_));
    const char* p = static_cast<const char*>(Data);
    while (true) {
        int n = bufList_.back()->Append(p, Len);
        if (n >= Len) break;
        p += n;
        Len -= n;
        bufList_.push_back(std::make_unique<TBuffer>(bufSize_));
    }
}

void TCustomWSocket::TryToSend() {
    if (hSocket_ == INVALID_SOCKET) return;
    // An empty chain has nothing left to send.
    if (bufList_.empty()) {
        allSent_ = true;
        return;
    }
    // OnSendData may call Send: the outer drain sends the new bytes, a nested
    // one would hand the same block to the platform twice.
    if (inTryToSend_) return;
    CallOutGuard guard(*this);
    // However the drain ends, an exception from OnSendData included, the next
    // Send may drain again (unless a handler freed the socket).
    struct DrainScope {
        TCustomWSocket& socket;
        const CallOutGuard& guard;
        ~DrainScope() {
            if (guard.Alive()) socket.inTryToSend_ = false;
        }
    } scope{*this, guard};
    inTryToSend_ = true;
    const std::uint32_t chain = chainEpoch_;
    // A handler of OnSendData may close the socket or drop the chain; the
    // drain then stops where it is.
    auto chainKept = [&] { return guard.SameHandle() && chainEpoch_ == chain && !bufList_.empty(); };
    while (true) {
        TBuffer* first = bufList_.front().get();
        std::int32_t n = 0;
        const char* p = first->PeekData(n);
        if (n <= 0) {
            if (bufList_.size() > 1) {
                bufList_.pop_front();
                continue;
            }
            allSent_ = true;
            break;
        }
        int count = 0;
        try {
            count = RawSend(p, n);
        } catch (...) {
            // OnSendData failed after the platform had taken the bytes: they
            // are sent and must not go out a second time.
            if (chainKept() && bufList_.front().get() == first) first->Consume(rawSent_);
            throw;
        }
        if (!guard.Alive()) return;
        if (count == 0) break;
        if (count < 0) {
            int code = WSocket_WSAGetLastError();
            inTryToSend_ = false;  // the handlers below may send on a new connection
            if (IsDisconnectCode(code)) {
                // The application learns the real code; the close itself fires nothing.
                closeInvoked_ = true;
                Close();
                if (guard.Alive()) TriggerSessionClosed(static_cast<std::uint16_t>(code));
                return;
            }
            if (code == platform::WSAEWOULDBLOCK) return;  // the write notification resumes
            ReportSocketError("TryToSend failed");
            return;
        }
        if (!chainKept()) break;
        // Taken in part: go on. The next send takes more or would block, and
        // only a send that would block brings the write notification back.
        first->Consume(count);
    }
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
    int n;
    if (type_ == SOCK_DGRAM)
        n = WSocket_sendto(hSocket_, Data, Len, sendFlags_, sin_);
    else
        n = WSocket_send(hSocket_, Data, Len, sendFlags_);
    rawSent_ = n > 0 ? n : 0;
    if (n > 0) FireEvent(OnSendData, this, n);
    return n;
}

void TCustomWSocket::ClearSendQueue() {
    bufList_.clear();
    ++chainEpoch_;
}

void TCustomWSocket::Flush() {
    CallOutGuard guard(*this);
    while (guard.Alive() && hSocket_ != INVALID_SOCKET && !allSent_) {
        TryToSend();
        if (!guard.Alive() || hSocket_ == INVALID_SOCKET || allSent_) break;
        WaitRound();
    }
}
}  // namespace net
