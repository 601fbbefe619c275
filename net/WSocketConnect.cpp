// The socket's connection: connecting, binding, listening, accepting and closing.
#include "net/WSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
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

constexpr long kConnectMask =
    platform::FD_READ | platform::FD_WRITE | platform::FD_ACCEPT | platform::FD_CONNECT | platform::FD_CLOSE;
constexpr long kListenMask =
    platform::FD_READ | platform::FD_WRITE | platform::FD_ACCEPT | platform::FD_CLOSE;
constexpr long kConnectedMask =
    platform::FD_READ | platform::FD_WRITE | platform::FD_CONNECT | platform::FD_CLOSE;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

}  // namespace

// ---------------------------------------------------------------------------
// Connecting, binding, listening

void TCustomWSocket::ResolveEndpoint(bool LocalPortToo) {
    if (!protoResolved_) {
        proto_ = WSocketResolveProto(protoStr_);
        type_ = proto_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
        protoResolved_ = true;
    }
    if (!portResolved_) {
        portNum_ = WSocketResolvePort(portStr_, protoStr_);
        sin_.sin_port = WSocket_htons(portNum_);
        portResolved_ = true;
    }
    if (LocalPortToo && !localPortResolved_) {
        localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
        localPortResolved_ = true;
    }
    if (!addrResolved_) {
        WSocketResolveHostAddr(addrStr_, sin_);
        addrFormat_ = sin_.sin_family;
        addrResolved_ = true;
    }
}

void TCustomWSocket::Connect() {
    if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    try {
        ResolveEndpoint(true);
    } catch (const std::exception& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }
    ClearSendQueue();
    hSocket_ = WSocket_socket(sin_.sin_family, type_, proto_);
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    // A connection opened from the session-closed handler of the last one
    // (no reset in between) has a close event of its own.
    closeInvoked_ = false;
    CallOutGuard guard(*this);
    ChangeState(wsOpened);
    if (!guard.Alive()) return;

    int one = 1;
    if (type_ == SOCK_DGRAM) {
        if (!BindLocal()) return;
        if (sin_.sin_addr == kAllOnes &&
            WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
            ReportSocketError("setsockopt(SO_BROADCAST)");
            return;
        }
    } else {
        // Address reuse goes before a bind of a local address or port, where
        // it counts; then the linger setting and keep-alive.
        if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if ((localPortNum_ != 0 || localAddr_ != "0.0.0.0") && !BindLocal()) return;
        if (!ApplyLinger()) return;
        if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        // Each send goes out at once: a short write behind one the peer has
        // not acknowledged yet (a request behind the last handshake flight,
        // the second block of a long request) would otherwise wait for the
        // peer's delayed acknowledgement, about 40 ms. Without it the
        // connection only answers later, so a failure is no reason to stop.
        if (proto_ == IPPROTO_TCP) WSocket_setsockopt(hSocket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (!AsyncSelect(kConnectMask)) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    if (type_ == SOCK_DGRAM) {
        ChangeState(wsConnected);
        if (guard.Alive()) TriggerSessionConnected(0);
        return;
    }
    if (WSocket_connect(hSocket_, sin_) != 0) {
        int code = WSocket_WSAGetLastError();
        if (code != platform::WSAEWOULDBLOCK) {
            lastError_ = code;
            ReportSocketError("Connect");
            return;
        }
    }
    ChangeState(wsConnecting);
}

bool TCustomWSocket::BindLocal() {
    TSockAddrIn local;
    local.sin_port = WSocket_htons(localPortNum_);
    // An IPv6 socket binds the IPv6 "any" address when LocalAddr is left at its default.
    local.sin_family = sin_.sin_family;
    if (local.sin_family != kFamilyInet6 || localAddr_ != "0.0.0.0")
        local.sin_addr = WSocketResolveHost(localAddr_);
    if (WSocket_bind(hSocket_, local) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", WSocket_WSAGetLastError());
        return false;
    }
    if (WSocket_getsockname(hSocket_, local) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", WSocket_WSAGetLastError());
        return false;
    }
    localPortNum_ = WSocket_ntohs(local.sin_port);
    localPortStr_ = std::to_string(localPortNum_);
    return true;
}

bool TCustomWSocket::ApplyLinger() {
    if (lingerOnOff_ == wsLingerNoSet) return true;
    if (hSocket_ == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return false;
    }
    linger l{};
    l.l_onoff = lingerOnOff_ == wsLingerOn ? 1 : 0;
    l.l_linger = lingerTimeout_ & 0xFFFF;
    if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
        ReportSocketError("setsockopt(SO_LINGER)");
        return false;
    }
    return true;
}

void TCustomWSocket::Listen() {
    if (!portAssigned_) {
        WSocket_WSASetLastError(platform::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!protoAssigned_) {
        WSocket_WSASetLastError(platform::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!addrAssigned_) {
        WSocket_WSASetLastError(platform::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    try {
        ResolveEndpoint(false);
    } catch (const std::exception& e) {
        ReportError(std::string("listen: ") + e.what());
        return;
    }
    ClearSendQueue();
    hSocket_ = WSocket_socket(sin_.sin_family, type_, proto_);
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    // A server that closed its connections first leaves them waiting out
    // their time on this port; a listener started again right away (a
    // restarted program) may still bind it. Two listeners never share it.
    int one = 1;
    if (type_ == SOCK_STREAM) WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (WSocket_bind(hSocket_, sin_) != 0) {
        // The handle is released before the report: the socket is still
        // closed, and a close would not look at it.
        int code = WSocket_WSAGetLastError();
        WSocket_closesocket(hSocket_);
        hSocket_ = INVALID_SOCKET;
        WSocket_WSASetLastError(code);
        ReportSocketError("Bind");
        return;
    }
    CallOutGuard guard(*this);
    ChangeState(wsBound);
    if (!guard.Alive()) return;
    if (type_ == SOCK_DGRAM) {
        ChangeState(wsListening);
        if (!guard.Alive()) return;
        ChangeState(wsConnected);
        if (!guard.Alive()) return;
        TriggerSessionConnected(0);
        if (!guard.Alive() || hSocket_ == INVALID_SOCKET) return;
    } else {
        if (WSocket_listen(hSocket_, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        ChangeState(wsListening);
        if (!guard.Alive()) return;
    }
    if (!AsyncSelect(kListenMask)) ReportSocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept() {
    if (state_ != wsListening) {
        WSocket_WSASetLastError(platform::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    TSocket s = WSocket_accept(hSocket_, &peerSin_);
    if (s == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    return s;
}

void TCustomWSocket::Dup(TSocket NewHSocket) {
    if (NewHSocket == INVALID_SOCKET || NewHSocket < 0) {
        WSocket_WSASetLastError(platform::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    CallOutGuard guard(*this);
    if (state_ != wsClosed) {
        if (hSocket_ != INVALID_SOCKET && WSocket_closesocket(hSocket_) != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        hSocket_ = INVALID_SOCKET;
        ChangeState(wsClosed);
        if (!guard.Alive()) return;
    }
    hSocket_ = NewHSocket;
    if (!ApplyLinger()) return;
    if (!AsyncSelect(kConnectedMask)) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
}

void TCustomWSocket::Shutdown(int How) {
    if (hSocket_ != INVALID_SOCKET) WSocket_shutdown(hSocket_, How);
}

void TCustomWSocket::PauseNotifications() {
    paused_ = true;
    if (hSocket_ != INVALID_SOCKET) AsyncSelect(0);
}

void TCustomWSocket::ResumeNotifications() {
    paused_ = false;
    if (hSocket_ != INVALID_SOCKET) AsyncSelect(kConnectedMask);
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWSocket::DoClose(bool DoShutdown, std::uint16_t Error) {
    CallOutGuard guard(*this);
    if (hSocket_ == INVALID_SOCKET) {
        if (state_ != wsClosed) {
            ChangeState(wsClosed);
            if (!guard.Alive()) return;
            ResetDefaults();
        }
        return;
    }
    if (state_ == wsClosed) return;
    if (DoShutdown) Shutdown(1);
    TSocket handle = hSocket_;
    hSocket_ = INVALID_SOCKET;
    while (WSocket_closesocket(handle) != 0) {
        int code = WSocket_WSAGetLastError();
        if (code == platform::WSAEWOULDBLOCK) {
            lastError_ = code;
            PumpMessages();
            if (!guard.Alive()) return;
            continue;
        }
        if (code == platform::WSANOTINITIALISED) break;
        lastError_ = code;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    ChangeState(wsClosed);
    if (!guard.Alive()) return;
    if (!destroying_ && !closeInvoked_) {
        closeInvoked_ = true;
        TriggerSessionClosed(Error);
        if (!guard.Alive()) return;
    }
    // A handler that opened a new connection keeps it; otherwise the next
    // connection starts from the defaults.
    if (hSocket_ != INVALID_SOCKET || state_ != wsClosed) return;
    try {
        ResetDefaults();
    } catch (...) {
        // resetting cannot fail in a way the closed socket could report
    }
}

void TCustomWSocket::Close() {
    DoClose(true, 0);
}

void TCustomWSocket::CloseLater() {
    platform::PostMessage(window_, WM_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::FreeLater() {
    platform::PostMessage(window_, WM_WSOCKET_RELEASE, 0, 0);
}

void TCustomWSocket::AbortSocket() {
    CallOutGuard guard(*this);
    try {
        CancelDnsLookup();
    } catch (...) {
        // aborting goes on without the lookup
    }
    if (!guard.Alive()) return;
    ClearSendQueue();
    if (state_ == wsConnected && proto_ == IPPROTO_TCP) {
        // The platform finishes the close in the background.
        lingerOnOff_ = wsLingerOff;
        ApplyLinger();
    }
    DoClose(false, 0);
}

void TCustomWSocket::WaitForClose() {
    CallOutGuard guard(*this);
    while (guard.Alive() && hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        unsigned long count = 0;
        if (WSocket_ioctlsocket_FIONREAD(hSocket_, &count) == 0 && count > 0) {
            ReceiveLoop(0);
            continue;
        }
        WaitRound();
    }
}

}  // namespace net
