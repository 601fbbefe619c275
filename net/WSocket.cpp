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

constexpr long kConnectMask =
    platform::FD_READ | platform::FD_WRITE | platform::FD_ACCEPT | platform::FD_CONNECT | platform::FD_CLOSE;
constexpr long kListenMask =
    platform::FD_READ | platform::FD_WRITE | platform::FD_ACCEPT | platform::FD_CLOSE;
constexpr long kConnectedMask =
    platform::FD_READ | platform::FD_WRITE | platform::FD_CONNECT | platform::FD_CLOSE;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

bool IsDisconnectCode(int code) {
    return code == platform::WSAEINVAL || code == platform::WSAENOTSOCK ||
           code == platform::WSAECONNABORTED || code == platform::WSAECONNRESET ||
           code == platform::WSAENOTCONN;
}

}  // namespace

// ---------------------------------------------------------------------------
// TCustomWSocket: construction and the notification target

TCustomWSocket::TCustomWSocket(base::TObject* AOwner) : owner_(AOwner) {
    window_ = platform::AllocateHWnd(
        [this](UINT msg, WPARAM w, LPARAM l) -> LRESULT { return DispatchNotification(msg, w, l); });
    TCustomWSocket::ResetDefaults();
    SocketCreated();
}

TCustomWSocket::~TCustomWSocket() {
    destroying_ = true;
    try {
        CancelDnsLookup();
    } catch (...) {
        // a lookup that cannot be cancelled is dropped with the socket
    }
    if (state_ != wsClosed) {
        try {
            TCustomWSocket::Close();
        } catch (...) {
            // the handle is gone either way; a destructor reports nothing
        }
    }
    if (hSocket_ != INVALID_SOCKET) WSocket_closesocket(hSocket_);
    hSocket_ = INVALID_SOCKET;
    SocketDestroyed();
    ClearSendQueue();
    *alive_ = false;
    platform::DeallocateHWnd(window_);
}

LRESULT TCustomWSocket::DispatchNotification(UINT Msg, WPARAM WParam, LPARAM LParam) {
    CallOutGuard guard(*this);
    try {
        switch (Msg) {
            case WM_ASYNCSELECT: WMAsyncSelect(WParam, LParam); break;
            case WM_ASYNCGETHOSTBYNAME: WMAsyncGetHostByName(WParam, LParam); break;
            case WM_ASYNCGETHOSTBYADDR: WMAsyncGetHostByAddr(WParam, LParam); break;
            case WM_CLOSE_DELAYED: Close(); break;
            case WM_WSOCKET_RELEASE: delete this; return 0;
            case WM_TRIGGER_EXCEPTION: throw ESocketException("Test exception in WSocket");
            default: return 0;  // the wait's wake-up timer and anything else
        }
    } catch (const std::exception& e) {
        if (guard.Alive()) HandleBgException(e);
    }
    return 0;
}

void TCustomWSocket::HandleBgException(const std::exception& E) {
    CallOutGuard guard(*this);
    bool canClose = true;
    if (OnBgException) {
        try {
            FireEvent(OnBgException, this, E, canClose);
        } catch (...) {
            // the application's own handler failed; the socket goes on
        }
    }
    if (canClose && guard.Alive()) {
        try {
            AbortSocket();
        } catch (...) {
            // nothing more can be done for a socket that fails to abort
        }
    }
}

void TCustomWSocket::ResetDefaults() {
    sin_ = TSockAddrIn{};
    sin_.sin_family = AF_INET;
    addrFormat_ = AF_INET;
    portAssigned_ = false;
    addrAssigned_ = false;
    addrResolved_ = false;
    portResolved_ = false;
    protoResolved_ = false;
    localPortResolved_ = false;
    protoStr_ = "tcp";
    protoAssigned_ = true;
    proto_ = IPPROTO_TCP;
    type_ = SOCK_STREAM;
    localPortStr_ = std::string("0");  // from a literal of one character GCC 12 warns of overlap (-Wrestrict)
    localAddr_ = "0.0.0.0";
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    hSocket_ = INVALID_SOCKET;
    state_ = wsClosed;
    allSent_ = true;
    paused_ = false;
    readCount_ = 0;
    closeInvoked_ = false;
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
    TSocketState old = state_;
    state_ = NewState;
    TriggerChangeState(old, NewState);
}

bool TCustomWSocket::AsyncSelect(long Events) {
    return WSocket_WSAAsyncSelect(hSocket_, window_, WM_ASYNCSELECT, Events) == 0;
}

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
    ReceiveLoop(Error);
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
// Error reports

void TCustomWSocket::ReportError(const std::string& Msg) {
    if (OnError)
        TriggerError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const char* Fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, Fmt);
    std::vsnprintf(buf, sizeof buf, Fmt, args);
    va_end(args);
    ReportError(buf);
}

void TCustomWSocket::ReportSocketError(const std::string& FunctionName) {
    int code = WSocket_WSAGetLastError();
    std::string msg =
        "Error " + std::to_string(code) + " in function " + FunctionName + "\r\n" + SocketErrorText(code);
    if (code == platform::WSAECONNRESET || code == platform::WSAENOTCONN) {
        if (hSocket_ != INVALID_SOCKET) WSocket_closesocket(hSocket_);
        hSocket_ = INVALID_SOCKET;
        CallOutGuard guard(*this);
        ChangeState(wsClosed);
        if (!guard.Alive()) throw ESocketException(msg);
    }
    lastError_ = code;
    ReportError(msg);
}

// ---------------------------------------------------------------------------
// Property setters and getters

bool TCustomWSocket::EnsureClosed(const char* Msg) {
    if (state_ == wsClosed) return true;
    ReportError(Msg);
    return false;
}

void TCustomWSocket::AssignTrimmed(const std::string& Value, std::string& Str, bool& Assigned) {
    Str = base::Trim(Value);
    Assigned = !Str.empty();
}

void TCustomWSocket::SetEndpoint(const std::string& Value, std::string& Str, bool& Assigned, bool& Resolved,
                                 const char* NotClosedMsg) {
    if (Value == Str && Assigned) return;  // the same value again is no change, open or not
    if (!EnsureClosed(NotClosedMsg)) return;
    AssignTrimmed(Value, Str, Assigned);
    Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
    SetEndpoint(Value, addrStr_, addrAssigned_, addrResolved_, "Cannot change Addr if not closed");
}

void TCustomWSocket::SetPort(const std::string& Value) {
    SetEndpoint(Value, portStr_, portAssigned_, portResolved_, "Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string& Value) {
    SetEndpoint(Value, protoStr_, protoAssigned_, protoResolved_, "Cannot change Proto if not closed");
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (!EnsureClosed("Cannot change LocalPort if not closed")) return;
    localPortStr_ = Value;
    localPortResolved_ = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (!EnsureClosed("Cannot change LocalAddr if not closed")) return;
    std::string v = Value.empty() ? "0.0.0.0" : Value;
    std::uint32_t a = WSocket_inet_addr(v);
    if (a == kAllOnes) {
        ReportError("SetLocalAddr(): Invalid IP address");
        return;
    }
    localAddr_ = WSocket_inet_ntoa(a);
}

TSocketSendFlags TCustomWSocket::SendFlags() {
    if (sendFlags_ != wsSendNormal && sendFlags_ != wsSendUrgent) {
        ReportError("Invalid internal SendFlags");
        return wsSendNormal;
    }
    return static_cast<TSocketSendFlags>(sendFlags_);
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    if (Value != wsSendNormal && Value != wsSendUrgent) {
        ReportError("Invalid SendFlags");
        return;
    }
    sendFlags_ = Value;
}

std::string TCustomWSocket::PeerAddr() {
    if (state_ != wsConnected) return "error";
    TSockAddrIn a;
    if (WSocket_getpeername(hSocket_, a) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return WSocketAddrText(a);
}

std::string TCustomWSocket::PeerPort() {
    if (state_ != wsConnected) return "error";
    TSockAddrIn a;
    if (WSocket_getpeername(hSocket_, a) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(WSocket_ntohs(a.sin_port));
}

std::string TCustomWSocket::GetXPort() {
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
    TSockAddrIn a;
    if (WSocket_getsockname(hSocket_, a) != 0) return "error";
    return std::to_string(WSocket_ntohs(a.sin_port));
}

int TCustomWSocket::GetPeerName(TSockAddrIn& Name) {
    return WSocket_getpeername(hSocket_, Name);
}
int TCustomWSocket::GetSockName(TSockAddrIn& Name) {
    return WSocket_getsockname(hSocket_, Name);
}

// ---------------------------------------------------------------------------
// Lookups

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(platform::WSAEINVAL);
        return;
    }
    if (dnsLookupHandle_ != 0) {
        WSocket_WSACancelAsyncRequest(dnsLookupHandle_);  // replaced silently by this one
        dnsLookupHandle_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    std::uint32_t a = WSocket_inet_addr(HostName);
    if (a != kAllOnes) {
        dnsResult_ = WSocket_inet_ntoa(a);
        TriggerDnsLookupDone(0);
        return;
    }
    // An IPv6 address, bracketed or not, is its own answer; anything else in
    // brackets is no name and never goes to the resolver.
    std::array<std::uint8_t, 16> a6{};
    if (IsIPv6Literal(HostName, &a6)) {
        dnsResult_ = WSocket_inet_ntop6(a6);
        TriggerDnsLookupDone(0);
        return;
    }
    if (IsBracketed(HostName)) {
        TriggerDnsLookupDone(platform::WSAHOST_NOT_FOUND);
        return;
    }
    dnsReply_ = TLookupReply{};
    dnsLookupReverse_ = false;
    dnsLookupHandle_ = WSocket_WSAAsyncGetHostByName(window_, WM_ASYNCGETHOSTBYNAME, HostName, &dnsReply_);
    if (dnsLookupHandle_ == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSocket_WSAGetLastError());
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty()) {
        ReportError("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(platform::WSAEINVAL);
        return;
    }
    if (dnsLookupHandle_ != 0) {
        WSocket_WSACancelAsyncRequest(dnsLookupHandle_);
        dnsLookupHandle_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    dnsReply_ = TLookupReply{};
    dnsLookupReverse_ = true;
    std::array<std::uint8_t, 16> a6{};
    if (IsIPv6Literal(HostAddr, &a6))
        dnsLookupHandle_ = WSocket_WSAAsyncGetHostByAddr6(window_, WM_ASYNCGETHOSTBYADDR, a6, &dnsReply_);
    else
        dnsLookupHandle_ = WSocket_WSAAsyncGetHostByAddr(window_, WM_ASYNCGETHOSTBYADDR,
                                                         WSocket_inet_addr(HostAddr), &dnsReply_);
    if (dnsLookupHandle_ == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), WSocket_WSAGetLastError());
}

void TCustomWSocket::CancelDnsLookup() {
    if (dnsLookupHandle_ == 0) return;
    if (WSocket_WSACancelAsyncRequest(dnsLookupHandle_) != 0) {
        dnsLookupHandle_ = 0;
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    dnsLookupHandle_ = 0;
    if (!destroying_) TriggerDnsLookupDone(platform::WSAEINTR);
}

void TCustomWSocket::WMAsyncGetHostByName(WPARAM WParam, LPARAM LParam) {
    if (dnsLookupHandle_ == 0 || WParam != dnsLookupHandle_) return;
    dnsLookupHandle_ = 0;
    std::uint16_t error = platform::SelectError(LParam);
    if (error == 0) {
        // IPv4 addresses first, then IPv6 ones: a connection tries them in
        // this order.
        for (std::uint32_t a : dnsReply_.Addresses) {
            if (dnsResultList_.size() >= 256) break;
            dnsResultList_.push_back(WSocket_inet_ntoa(a));
        }
        for (const auto& a : dnsReply_.Addresses6) {
            if (dnsResultList_.size() >= 256) break;
            dnsResultList_.push_back(WSocket_inet_ntop6(a));
        }
        if (!dnsResultList_.empty()) dnsResult_ = dnsResultList_.front();
    }
    TriggerDnsLookupDone(error);
}

void TCustomWSocket::WMAsyncGetHostByAddr(WPARAM WParam, LPARAM LParam) {
    if (dnsLookupHandle_ == 0 || WParam != dnsLookupHandle_) return;
    dnsLookupHandle_ = 0;
    std::uint16_t error = platform::SelectError(LParam);
    if (error == 0) {
        dnsResult_ = dnsReply_.Name;
        dnsResultList_.assign(1, dnsReply_.Name);
    }
    TriggerDnsLookupDone(error);
}

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
        if ((localPortNum_ != 0 || localAddr_ != "0.0.0.0") && !BindLocal()) return;
        if (!ApplyLinger()) return;
        if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
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
