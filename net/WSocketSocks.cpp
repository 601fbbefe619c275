// The SOCKS level of the socket: SOCKS 4, 4A and 5 negotiation before the
// session is reported connected.
#include "net/WSocket.h"

#include <cstring>

#include "base/Strings.h"
#include "net/WSocketEvents.h"
#include "platform/SocketErrors.h"

namespace net {

using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

TCustomSocksWSocket::TCustomSocksWSocket(base::TObject* AOwner) : TCustomWSocket(AOwner) {
    TCustomSocksWSocket::ResetDefaults();
}

void TCustomSocksWSocket::ResetDefaults() {
    TCustomWSocket::ResetDefaults();
    socksServer_.clear();
    socksServerAssigned_ = false;
    socksPort_.clear();
    socksPortAssigned_ = false;
    socksLevel_ = std::string("5");  // from a literal of one character GCC 12 warns of overlap (-Wrestrict)
    socksPhase_ = TSocksPhase::Idle;
    socksRcvCnt_ = 0;
    socksLeftOver_ = 0;
    socksLeftPos_ = 0;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (EnsureClosed("Can't change socks server if not closed"))
        AssignTrimmed(Value, socksServer_, socksServerAssigned_);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (EnsureClosed("Can't change socks port if not closed"))
        AssignTrimmed(Value, socksPort_, socksPortAssigned_);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (!EnsureClosed("Can't change socks level if not closed")) return;
    if (Value == "4" || Value == "5" || Value == "4A" || Value == "4a") {
        socksLevel_ = base::UpperCase(Value);
        return;
    }
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
}

void TCustomSocksWSocket::Connect() {
    if (!SocksOn()) {
        TCustomWSocket::Connect();
        return;
    }
    if (base::LowerCase(protoStr_) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    try {
        // The socket connects to the proxy; the destination travels in the request.
        portNum_ = WSocketResolvePort(socksPort_, protoStr_);
        sin_.sin_port = WSocket_htons(portNum_);
        portResolved_ = true;
        WSocketResolveHostAddr(socksServer_, sin_);
        addrResolved_ = true;
        socksDestPort_ = WSocketResolvePort(portStr_, protoStr_);
    } catch (const std::exception& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }
    socksPhase_ = TSocksPhase::MethodReply;
    socksRcvCnt_ = 0;
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
    if (SocksOn()) {
        ReportError("listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

int TCustomSocksWSocket::RcvdCount() {
    if (socksLeftOver_ > 0) return socksLeftOver_;
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::RawReceive(void* Buffer, int BufferSize) {
    if (socksLeftOver_ > 0 && BufferSize > 0) {
        int n = std::min(BufferSize, socksLeftOver_);
        std::memcpy(Buffer, socksRcvBuf_ + socksLeftPos_, static_cast<std::size_t>(n));
        socksLeftPos_ += n;
        socksLeftOver_ -= n;
        ++receiveCalls_;
        return n;
    }
    return TCustomWSocket::RawReceive(Buffer, BufferSize);
}

void TCustomSocksWSocket::TriggerSessionConnected(std::uint16_t Error) {
    if (socksPhase_ != TSocksPhase::MethodReply) {
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    CallOutGuard guard(*this);
    TriggerSocksConnected(Error);
    if (!guard.Alive()) return;
    if (Error != 0) {
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    if (socksLevel_ == "5") {
        // With credentials both methods are offered, so a proxy that needs
        // none is not refused: it answers "no authentication".
        socksAuthMethod_ = SocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
        SocksSendRequest(socksAuthMethod_ == 2 ? std::string{5, 2, 0, 2} : std::string{5, 1, 0});
    } else {
        SocksDoConnect();
    }
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t Error) {
    if (socksPhase_ == TSocksPhase::AuthReply) {
        CallOutGuard guard(*this);
        TriggerSocksAuthState(socksAuthRejected);
        if (!guard.Alive()) return;
    }
    TCustomWSocket::TriggerSessionClosed(Error);
}

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t Error) {
    if (socksPhase_ == TSocksPhase::Idle) return TCustomWSocket::TriggerDataAvailable(Error);
    if (Error != 0) {
        SocksFail(Error, "data receive error");
        return false;
    }
    switch (socksPhase_) {
        case TSocksPhase::MethodReply:
            if (socksLevel_ != "5") {
                SocksFail(20001, "TWSocket logic error");
                return true;
            }
            return DataAvailableMethodReply();
        case TSocksPhase::AuthReply: return DataAvailableAuthReply();
        case TSocksPhase::ConnectReply: return DataAvailableConnectReply();
        case TSocksPhase::Idle: break;
    }
    SocksFail(20013, "internal error");
    return false;
}

void TCustomSocksWSocket::ReadSocksReply() {
    int room = static_cast<int>(sizeof socksRcvBuf_) - socksRcvCnt_;
    if (room <= 0) return;
    int n = TCustomWSocket::RawReceive(socksRcvBuf_ + socksRcvCnt_, room);
    if (n > 0) socksRcvCnt_ += n;
}

void TCustomSocksWSocket::SocksSendRequest(const std::string& Request) {
    try {
        SendText(Request);
    } catch (const std::exception&) {
        // a request that cannot be sent shows as the proxy's silence or close
    }
}

bool TCustomSocksWSocket::DataAvailableMethodReply() {
    ReadSocksReply();
    if (socksRcvCnt_ < 2) return true;
    if (socksRcvBuf_[0] != 5) {
        SocksFail(20002, "socks version error");
        return true;
    }
    std::uint8_t method = socksRcvBuf_[1];
    socksRcvCnt_ = 0;
    if (method == 0) {
        CallOutGuard guard(*this);
        if (SocksAuthentication == socksAuthenticateUsercode) TriggerSocksAuthState(socksAuthNotNeeded);
        if (guard.Alive()) SocksDoConnect();
    } else if (method == 2) {
        SocksDoAuthenticate();
    } else {
        SocksFail(20003, "authentification method not acceptable");
    }
    return true;
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
    socksPhase_ = TSocksPhase::AuthReply;
    CallOutGuard guard(*this);
    TriggerSocksAuthState(socksAuthBegin);
    if (!guard.Alive()) return;
    std::string req{1};
    req += static_cast<char>(std::min<std::size_t>(SocksUsercode.size(), 255));
    req += SocksUsercode.substr(0, 255);
    req += static_cast<char>(std::min<std::size_t>(SocksPassword.size(), 255));
    req += SocksPassword.substr(0, 255);
    SocksSendRequest(req);
}

bool TCustomSocksWSocket::DataAvailableAuthReply() {
    ReadSocksReply();
    auto reject = [this](int code, const std::string& msg) {
        CallOutGuard guard(*this);
        TriggerSocksAuthState(socksAuthRejected);
        if (guard.Alive()) SocksFail(code, msg);
    };
    if (socksRcvCnt_ >= 1 && socksRcvBuf_[0] != 1) {
        reject(20002, "socks version error");
        return true;
    }
    if (socksRcvCnt_ < 2) return true;
    if (socksRcvCnt_ > 2) {
        reject(20001, "too much data availaible");
        return true;
    }
    if (socksRcvBuf_[1] != 0) {
        reject(20015, "socks authentication failed");
        return true;
    }
    socksRcvCnt_ = 0;
    CallOutGuard guard(*this);
    TriggerSocksAuthState(socksAuthPassed);
    if (guard.Alive()) SocksDoConnect();
    return true;
}

void TCustomSocksWSocket::SocksDoConnect() {
    socksPhase_ = TSocksPhase::ConnectReply;
    socksRcvCnt_ = 0;
    std::string port{static_cast<char>(socksDestPort_ >> 8), static_cast<char>(socksDestPort_ & 0xFF)};
    std::string req;
    if (socksLevel_ == "4") {
        std::uint32_t addr = 0;
        try {
            addr = WSocketResolveHost(addrStr_);
        } catch (const std::exception& e) {
            CallOutGuard guard(*this);
            TriggerSocksError(20017, std::string("ESocketException ") + e.what());
            if (guard.Alive()) DoClose(true, 20017);
            return;
        }
        req = std::string{4, 1} + port + std::string(reinterpret_cast<const char*>(&addr), 4) + SocksUsercode;
        req += '\0';
    } else if (socksLevel_ == "4A") {
        // 0.0.0.1 tells the proxy that the name follows.
        req = std::string{4, 1} + port + std::string("\0\0\0\1", 4) + SocksUsercode;
        req += '\0';
        req += addrStr_;
        req += '\0';
    } else {
        // A name travels as a name (the proxy looks it up), an IPv6 address
        // as its 16 bytes.
        std::array<std::uint8_t, 16> a6{};
        if (IsIPv6Literal(addrStr_, &a6)) {
            req = std::string{5, 1, 0, 4} + std::string(a6.begin(), a6.end()) + port;
        } else {
            std::string host = addrStr_.substr(0, 255);
            req = std::string{5, 1, 0, 3, static_cast<char>(host.size())} + host + port;
        }
    }
    SocksSendRequest(req);
}

namespace {
std::string Socks5ReplyText(int code) {
    switch (code) {
        case 1: return "general SOCKS server failure";
        case 2: return "connection not allowed by ruleset";
        case 3: return "network unreachable";
        case 4: return "host unreachable";
        case 5: return "connection refused";
        case 6: return "time to live expired";
        case 7: return "command not supported";
        case 8: return "address type not supported";
        default: return "unassigned error #" + std::to_string(code);
    }
}
}  // namespace

bool TCustomSocksWSocket::DataAvailableConnectReply() {
    ReadSocksReply();
    int replyLen = 0;
    if (socksLevel_ != "5") {
        if (socksRcvCnt_ < 8) return true;
        if (socksRcvBuf_[0] != 0) {
            SocksFail(20002, "socks version error");
            return true;
        }
        int code = socksRcvBuf_[1];
        switch (code) {
            case 90: break;
            case 91: SocksFail(20016, "request rejected or failed"); return true;
            case 92: SocksFail(20008, "connection refused"); return true;
            case 93: SocksFail(20015, "authentification failed"); return true;
            default: SocksFail(20012, "unassigned error #" + std::to_string(code)); return true;
        }
        replyLen = 8;
    } else {
        if (socksRcvCnt_ < 2) return true;
        if (socksRcvBuf_[0] != 5) {
            SocksFail(20002, "socks version error");
            return true;
        }
        int code = socksRcvBuf_[1];
        if (code != 0) {
            SocksFail(code >= 1 && code <= 8 ? 20003 + code : 20012, Socks5ReplyText(code));
            return true;
        }
        if (socksRcvCnt_ < 4) return true;
        // The address the proxy bound: IPv4, a name, or IPv6.
        if (socksRcvBuf_[3] == 1) {
            replyLen = 10;
        } else if (socksRcvBuf_[3] == 4) {
            replyLen = 22;
        } else if (socksRcvBuf_[3] == 3) {
            if (socksRcvCnt_ < 5) return true;
            replyLen = 7 + socksRcvBuf_[4];
        } else {
            SocksFail(20011, "address type not supported");
            return true;
        }
        if (socksRcvCnt_ < replyLen) return true;
    }
    // Connected through the proxy. Bytes that came behind the reply are the
    // application's and are read first.
    socksPhase_ = TSocksPhase::Idle;
    socksLeftOver_ = socksRcvCnt_ - replyLen;
    socksLeftPos_ = replyLen;
    socksRcvCnt_ = 0;
    CallOutGuard guard(*this);
    TCustomWSocket::TriggerSessionConnected(0);
    if (!guard.Alive() || state_ != wsConnected) return true;
    return TriggerDataAvailable(0);
}

void TCustomSocksWSocket::SocksFail(int Error, const std::string& Msg) {
    // The negotiation is over; the close that follows is an ordinary one.
    socksPhase_ = TSocksPhase::Idle;
    CallOutGuard guard(*this);
    auto code = static_cast<std::uint16_t>(Error);
    TriggerSocksError(Error, Msg);
    if (!guard.Alive()) return;
    TCustomWSocket::TriggerSessionConnected(code);
    if (!guard.Alive()) return;
    DoClose(true, code);
}

void TCustomSocksWSocket::TriggerSocksConnected(std::uint16_t Error) {
    FireEvent(OnSocksConnected, this, Error);
}

void TCustomSocksWSocket::TriggerSocksError(int Error, const std::string& Msg) {
    FireEvent(OnSocksError, this, Error, Msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState) {
    FireEvent(OnSocksAuthState, this, AuthState);
}

}  // namespace net
