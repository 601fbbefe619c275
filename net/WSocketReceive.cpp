// The socket's receiving side: the socket events, the receive loop, the
// event triggers and the reads.
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

// ---------------------------------------------------------------------------
// Socket events (notification 1025), one function per event bit

void TCustomWSocket::WMAsyncSelect(WPARAM WParam, LPARAM LParam) {
    if (hSocket_ == INVALID_SOCKET || static_cast<TSocket>(WParam) != hSocket_ || paused_) return;
    std::uint16_t events = platform::SelectEvent(LParam);
    std::uint16_t error = platform::SelectError(LParam);
    CallOutGuard guard(*this);
    if (events & platform::FD_CONNECT) {
        Do_FD_CONNECT(error);
        if (!guard.Alive()) return;
    }
    if (events & platform::FD_READ) {
        Do_FD_READ(error);
        if (!guard.Alive()) return;
    }
    if (events & platform::FD_WRITE) {
        Do_FD_WRITE(error);
        if (!guard.Alive()) return;
    }
    if (events & platform::FD_ACCEPT) {
        Do_FD_ACCEPT(error);
        if (!guard.Alive()) return;
    }
    if (events & platform::FD_CLOSE) Do_FD_CLOSE(error);
}

void TCustomWSocket::Do_FD_CONNECT(std::uint16_t Error) {
    CallOutGuard guard(*this);
    ChangeState(wsConnected);
    if (!guard.Alive()) return;
    TriggerSessionConnected(Error);
    // A handler that closed and connected again keeps its new connection.
    if (guard.SameHandle() && Error != 0 && state_ != wsClosed) Close();
}

void TCustomWSocket::Do_FD_READ(std::uint16_t Error) {
    CallOutGuard guard(*this);
    const unsigned before = receiveCalls_;
    ReceiveLoop(Error);
    if (!guard.SameHandle() || receiveCalls_ != before || type_ != SOCK_STREAM) return;
    // A read notification may stand for the peer's close with nothing left
    // to read, which only a receive tells; a handler that found nothing
    // counted and read nothing would leave it unheard. A look that takes
    // nothing tells it instead (and asks for the next notification).
    unsigned long count = 0;
    if (WSocket_ioctlsocket_FIONREAD(hSocket_, &count) != 0) return;
    if (count == 0) {
        char c;
        WSocket_recv(hSocket_, &c, 1, MSG_PEEK);
        return;
    }
    // Data is left that the handler did not take (it read nothing, or
    // failed first): no read comes until it receives again, but the peer's
    // close must still come, and the close takes what is left.
    platform::AsyncSelectNoteUnread(hSocket_);
}

void TCustomWSocket::Do_FD_WRITE(std::uint16_t Error) {
    CallOutGuard guard(*this);
    TryToSend();
    if (guard.SameHandle() && allSent_ && hSocket_ != INVALID_SOCKET) TriggerDataSent(Error);
}

void TCustomWSocket::Do_FD_ACCEPT(std::uint16_t Error) {
    TriggerSessionAvailable(Error);
}

void TCustomWSocket::Do_FD_CLOSE(std::uint16_t Error) {
    if (state_ == wsConnecting) return;
    CallOutGuard guard(*this);
    // What the peer sent before closing is delivered first.
    ReceiveLoop(0);
    if (!guard.Alive()) return;
    if (!closeInvoked_ && guard.SameHandle()) {
        closeInvoked_ = true;
        TriggerSessionClosed(Error);
        if (!guard.Alive()) return;
    }
    if (state_ != wsClosed && guard.SameHandle()) Close();
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error) {
    CallOutGuard guard(*this);
    while (true) {
        lastError_ = 0;
        try {
            unsigned before = receiveCalls_;
            if (!TriggerDataAvailable(Error)) {
                if (!guard.Alive()) return;
                // Nobody takes the data: read it and throw it away.
                char scratch[1024];
                if (RawReceive(scratch, sizeof scratch) < 0) {
                    int code = WSocket_WSAGetLastError();
                    lastError_ = code == platform::WSAEWOULDBLOCK ? 0 : code;
                    if (code == platform::WSAEWOULDBLOCK) break;
                }
            }
            if (!guard.Alive()) return;
            if (lastError_ != 0) break;
            if (hSocket_ == INVALID_SOCKET) break;
            // A handler that read nothing would be called again and again
            // for the same bytes; the data waits for its next Receive instead.
            if (receiveCalls_ == before) break;
            unsigned long count = 0;
            if (WSocket_ioctlsocket_FIONREAD(hSocket_, &count) != 0) {
                lastError_ = WSocket_WSAGetLastError();
                break;
            }
            if (count == 0) break;
        } catch (...) {
            // an exception ends this notification's reading, as documented
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Event triggers

bool TCustomWSocket::TriggerDataAvailable(std::uint16_t Error) {
    if (!OnDataAvailable) return false;
    FireEvent(OnDataAvailable, this, Error);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t Error) {
    FireEvent(OnSessionAvailable, this, Error);
}
void TCustomWSocket::TriggerSessionConnected(std::uint16_t Error) {
    FireEvent(OnSessionConnected, this, Error);
}
void TCustomWSocket::TriggerSessionClosed(std::uint16_t Error) {
    FireEvent(OnSessionClosed, this, Error);
}
void TCustomWSocket::TriggerDataSent(std::uint16_t Error) {
    FireEvent(OnDataSent, this, Error);
}
void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
    FireEvent(OnChangeState, this, OldState, NewState);
}
void TCustomWSocket::TriggerDnsLookupDone(std::uint16_t Error) {
    FireEvent(OnDnsLookupDone, this, Error);
}
void TCustomWSocket::TriggerError() {
    FireEvent(OnError, this);
}

// ---------------------------------------------------------------------------
// Receiving

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize) {
    ++receiveCalls_;
    return WSocket_recv(hSocket_, Buffer, BufferSize, 0);
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From) {
    ++receiveCalls_;
    return WSocket_recvfrom(hSocket_, Buffer, BufferSize, 0, &From);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    int n = RawReceive(Buffer, BufferSize);
    if (n < 0)
        lastError_ = WSocket_WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

std::string TCustomWSocket::ReceiveText() {
    int n = RcvdCount();
    if (n <= 0) return std::string();
    std::string s(static_cast<std::size_t>(n), '\0');
    int got = RawReceive(s.data(), n);
    if (got <= 0) return std::string();
    s.resize(static_cast<std::size_t>(got));
    return s;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From) {
    int n = RawReceiveFrom(Buffer, BufferSize, From);
    if (n < 0)
        lastError_ = WSocket_WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

int TCustomWSocket::RcvdCount() {
    // A socket without a handle has nothing to read; a handler still running
    // for a connection that has just closed may ask without a report.
    if (hSocket_ == INVALID_SOCKET) return 0;
    unsigned long count = 0;
    if (WSocket_ioctlsocket_FIONREAD(hSocket_, &count) != 0) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(count);
}

}  // namespace net
