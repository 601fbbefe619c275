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

constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

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

}  // namespace net
