#include "net/HttpProt.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/HttpProtInternal.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "net/WinsockLib.h"
#include "platform/Application.h"
#include "platform/SocketErrors.h"

namespace net {

THttpTransport TransportForProtocol(std::string_view protocol) {
    return base::SameText(protocol, "https") ? THttpTransport::htTls : THttpTransport::htPlain;
}

std::string Base64Encode(std::string_view text) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string r;
    r.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        auto b0 = static_cast<unsigned char>(text[i]);
        auto b1 = static_cast<unsigned char>(text[i + 1]);
        auto b2 = static_cast<unsigned char>(text[i + 2]);
        r += alphabet[b0 >> 2];
        r += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        r += alphabet[((b1 & 15) << 2) | (b2 >> 6)];
        r += alphabet[b2 & 63];
    }
    if (i < text.size()) {
        auto b0 = static_cast<unsigned char>(text[i]);
        r += alphabet[b0 >> 2];
        if (i + 1 < text.size()) {
            auto b1 = static_cast<unsigned char>(text[i + 1]);
            r += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
            r += alphabet[(b1 & 15) << 2];
        } else {
            r += alphabet[(b0 & 3) << 4];
            r += '=';
        }
        r += '=';
    }
    return r;
}

std::string Rfc1123Date(double t) {
    static constexpr char days[] = "MonTueWedThuFriSatSun";
    static constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    // Whole milliseconds, as a date-time value is decoded.
    auto ms = static_cast<long long>(std::llround(t * 86400000.0));
    long long dayCount = ms / 86400000;
    long long msOfDay = ms % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --dayCount;
    }
    // Civil date from a day count; day 0 is 1899-12-30, and 1970-01-01 is day 25569.
    long long z = dayCount - 25569 + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    long long dow = ((dayCount - 2) % 7 + 7) % 7;

    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s, %2.2lld %.3s %4.4lld %2.2lld:%2.2lld:%2.2lld", days + dow * 3, d,
                  months + (m - 1) * 3, y, msOfDay / 3600000, msOfDay / 60000 % 60, msOfDay / 1000 % 60);
    return buf;
}

std::string ReplaceExtension(const std::string& name, const std::string& ext) {
    int dot = LastPos(".", name);
    if (dot > 0) return name.substr(0, static_cast<std::size_t>(dot)) + ext;
    return name + "." + ext;
}

// ---------------------------------------------------------------------------

THttpCli::THttpCli() {
    socket_ = std::make_unique<TWSocket>(this);
    window_ = platform::AllocateHWnd(
        [this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) { return WndProc(msg, w, l); });
    socket_->OnDnsLookupDone = [this](base::TObject*, std::uint16_t e) { DnsLookupDone(e); };
    socket_->OnSessionConnected = [this](base::TObject*, std::uint16_t e) { SessionConnected(e); };
    socket_->OnDataAvailable = [this](base::TObject*, std::uint16_t e) { DataAvailable(e); };
    socket_->OnDataSent = [this](base::TObject*, std::uint16_t e) { DataSent(e); };
    socket_->OnSocksError = [this](base::TObject*, int, const std::string& msg) { socksError_ = msg; };
    socket_->OnSessionClosed = [this](base::TObject*, std::uint16_t e) {
        if (failoverPending_)
            ConnectNextAddress(e);
        else if (phase_ == phRedirect)
            ResumeAfterRedirect(e);
        else
            SessionClosed(e);
    };
}

THttpCli::~THttpCli() {
    *alive_ = false;
    platform::DeallocateHWnd(window_);
    // The socket's last events (a cancelled lookup, the close) must not reach
    // a client that is going away.
    socket_->OnDnsLookupDone = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnDataAvailable = nullptr;
    socket_->OnDataSent = nullptr;
    socket_->OnSessionClosed = nullptr;
    socket_->OnSocksError = nullptr;
    socket_.reset();
}

void THttpCli::SetMultiThreaded(bool value) {
    multiThreaded_ = value;
    socket_->SetMultiThreaded(value);
}

platform::LRESULT THttpCli::WndProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
    switch (msg) {
        case MsgRequestDone:
            // Kind and error travel with the message: a handler sees the
            // request that ended, even if another has started since.
            if (OnRequestDone)
                OnRequestDone(this, static_cast<THttpRequest>((lParam >> 16) & 0xFF),
                              static_cast<std::uint16_t>(lParam & 0xFFFF));
            return 0;
        case MsgSetIdle:
            if (wParam == serial_) SetState(hsIdle);
            return 0;
        case MsgRelocate:
            if (wParam == serial_ && phase_ == phLookup && state_ == hsReceivingHeader) StartLookup();
            return 0;
        case platform::WM_TIMER:
            if (wParam == kTimeoutTimer) {
                platform::StopTimer(window_, kTimeoutTimer);
                if (state_ != hsIdle) AbortWith("Connection timed out (Error #10060)", kTimedOut, 0);
            } else if (wParam == kConnectAttemptTimer) {
                // This address does not answer; the next one is tried.
                platform::StopTimer(window_, kConnectAttemptTimer);
                if (state_ == hsResolved && !connected_ && addressIndex_ + 1 < addresses_.size()) {
                    failoverPending_ = true;
                    socket_->AbortSocket();
                }
            }
            return 0;
        default: return 0;
    }
}

void THttpCli::PostMsg(platform::UINT msg) {
    platform::PostMessage(window_, msg, serial_, 0);
}

bool THttpCli::EnterState(THttpClientState state) {
    const TGuard guard(*this);
    SetState(state);
    return guard.Alive() && state_ == state;
}

void THttpCli::SetState(THttpClientState state) {
    if (state == state_) return;
    state_ = state;
    if (state == hsIdle) {
        phase_ = phIdle;
        platform::StopTimer(window_, kTimeoutTimer);
        platform::StopTimer(window_, kConnectAttemptTimer);
        platform::LPARAM done = (static_cast<platform::LPARAM>(requestKind_) << 16) |
                                static_cast<platform::LPARAM>(static_cast<std::uint16_t>(lastRequestError_));
        platform::PostMessage(window_, MsgRequestDone, serial_, done);
    }
    Fire(OnStateChange, this);
}

// --- blocking and starting ---------------------------------------------------

void THttpCli::PerformRequest(THttpRequest kind) {
    const TGuard guard(*this);
    StartRequest(kind);
    // Sleep in the loop until the request has ended: every round dispatches
    // what is due and then waits for the next message, so a slow server costs
    // no processor time. A handler that frees the client ends the wait.
    while (guard.Alive() && state_ != hsIdle) {
        if (multiThreaded_) {
            socket_->PumpOwnMessages();
            if (guard.Alive() && state_ != hsIdle) platform::WaitMessage(-1);
        } else {
            platform::Application().HandleMessage();
        }
    }
    if (!guard.Alive()) throw EHttpException("Connection aborted on request", 0);
    if (hop_.StatusCode >= 400)
        throw EHttpException(hop_.ReasonPhrase,
                             failureCode_ != 0 ? failureCode_ : static_cast<std::uint16_t>(hop_.StatusCode));
}

void THttpCli::StartLookup() {
    resolvedAddress_.clear();
    addresses_.clear();
    addressIndex_ = 0;
    failoverPending_ = false;
    phase_ = phLookup;
    if (!EnterState(hsResolving)) return;
    // (A bracketed text that is no IPv6 address is no name either: the
    // lookup below refuses it.)
    if (!SocksServer.empty() && (SocksRemoteLookup || base::UpperCase(SocksLevel) == "4A") &&
        (!IsBracketed(target_.Host) || IsIPv6Literal(target_.Host))) {
        // The proxy looks the name up: it travels as it stands (an IPv6
        // address without its brackets).
        addresses_.push_back(WithoutBrackets(target_.Host));
        ConnectFirstAddress();
        return;
    }
    try {
        socket_->DnsLookup(target_.Host);
    } catch (const ESocketException&) {
        // The socket would not even start the lookup (an empty host name):
        // the request ends as a failed lookup rather than staying busy.
        if (state_ != hsResolving) return;
        int code = socket_->LastError();
        lastRequestError_ = code != 0 ? code : 11001;
        hop_.StatusCode = 404;
        hop_.ReasonPhrase = "can't resolve hostname to IP address";
        SessionClosed(0);
    }
}

// --- socket events -------------------------------------------------------------

void THttpCli::DnsLookupDone(std::uint16_t error) {
    if (state_ != hsResolving) return;  // aborted, timed out, or no lookup of ours
    if (error != 0) {
        lastRequestError_ = error;
        hop_.StatusCode = 404;
        hop_.ReasonPhrase = "can't resolve hostname to IP address";
        SessionClosed(0);
        return;
    }
    addresses_ = socket_->DnsResultList();
    if (addresses_.empty()) addresses_.push_back(socket_->DnsResult());
    ConnectFirstAddress();
}

void THttpCli::ConnectFirstAddress() {
    phases_.Mark(TPhaseTimes::Lookup);
    addressIndex_ = 0;
    resolvedAddress_ = addresses_.front();
    phase_ = phConnect;
    if (!EnterState(hsResolved)) return;
    ConnectResolved();
}

bool THttpCli::CanFailOver(int error) const {
    // Through a SOCKS proxy the proxy is what is connected to; there is no
    // other address to try.
    if (!SocksServer.empty() || addressIndex_ + 1 >= addresses_.size()) return false;
    switch (error) {
        case platform::WSAECONNREFUSED:
        case platform::WSAETIMEDOUT:
        case platform::WSAEHOSTUNREACH:
        case platform::WSAENETUNREACH:
        case platform::WSAEHOSTDOWN:
        case platform::WSAENETDOWN:
        case platform::WSAEADDRNOTAVAIL:
        case platform::WSAEAFNOSUPPORT: return true;
        default: return false;
    }
}

void THttpCli::ConnectNextAddress(std::uint16_t error) {
    failoverPending_ = false;
    if (state_ != hsResolved) {
        // The request ended meanwhile (aborted, timed out): the close is its end.
        if (phase_ == phRedirect)
            ResumeAfterRedirect(error);
        else
            SessionClosed(error);
        return;
    }
    resolvedAddress_ = addresses_[++addressIndex_];
    ConnectResolved();
}

void THttpCli::ConnectResolved() {
    socksError_.clear();
    platform::StopTimer(window_, kConnectAttemptTimer);
    try {
        socket_->SetAddr(resolvedAddress_);
        socket_->SetPort(target_.Port);
        socket_->SetProto("tcp");
        // A close forgets the socket's proxy: it is set again for every connection.
        socket_->SetSocksServer(SocksServer);
        if (!SocksServer.empty()) {
            socket_->SetSocksPort(SocksPort);
            socket_->SetSocksLevel(SocksLevel);
            socket_->SocksUsercode = SocksUsercode;
            socket_->SocksPassword = SocksPassword;
            socket_->SocksAuthentication = SocksAuthentication;
        }
        socket_->Connect();
        if (ConnectAttemptLimit > 0 && SocksServer.empty() && addressIndex_ + 1 < addresses_.size())
            platform::SetTimer(window_, kConnectAttemptTimer,
                               static_cast<platform::UINT>(ConnectAttemptLimit));
    } catch (const std::exception& e) {
        int code = socket_->LastError();
        if (CanFailOver(code)) {
            // The connect failed at once (no route to this address): its
            // close goes on to the next one.
            failoverPending_ = true;
            socket_->Close();
            if (failoverPending_) ConnectNextAddress(static_cast<std::uint16_t>(code));
            return;
        }
        lastRequestError_ = code;
        hop_.StatusCode = 404;
        hop_.ReasonPhrase = WithErrorNumber("can't connect: " + SocketErrorText(code), code);
        // The connect failed before it reached the network (a port that is
        // no number nor service): say what was wrong instead of "No Error",
        // and report an error code, not the 0 of success.
        if (code == 0) {
            hop_.ReasonPhrase = "can't connect: " + std::string(e.what());
            lastRequestError_ = 10022;
        }
        socket_->Close();
        SessionClosed(0);
    }
}

void THttpCli::SessionConnected(std::uint16_t error) {
    if (state_ != hsResolved) return;
    platform::StopTimer(window_, kConnectAttemptTimer);
    if (error != 0) {
        if (socksError_.empty() && CanFailOver(error)) {
            // The socket closes the failed connection next; that close goes
            // on to the next address.
            failoverPending_ = true;
            return;
        }
        lastRequestError_ = error;
        hop_.StatusCode = 404;
        // A SOCKS failure reads with the proxy's text, not as a socket error.
        hop_.ReasonPhrase =
            WithErrorNumber(socksError_.empty() ? SocketErrorText(error) : socksError_, error);
        SessionClosed(0);
        return;
    }
    connected_ = true;
    phases_.Mark(TPhaseTimes::Connect);
    phases_.IpVersion = !Proxy.empty()                    ? 0
                        : IsIPv6Literal(resolvedAddress_) ? 6
                        : IsDottedQuad(resolvedAddress_)  ? 4
                                                          : 0;
    if (!EnterState(hsConnected)) return;
    if (TransportForProtocol(target_.Protocol) == THttpTransport::htTls) {
        StartSecureChannel();
        return;
    }
    ChannelReady();
}

// --- ending ----------------------------------------------------------------------

void THttpCli::CloseConnection() {
    ShutdownTls();
    socket_->Close();
    connected_ = false;
}

void THttpCli::Abort() {
    AbortWith("Connection aborted on request", httperrAborted, 0);
}

void THttpCli::AbortWith(const std::string& reason, int error, std::uint16_t failureCode) {
    if (state_ == hsIdle) {
        if (socket_->State() != wsClosed) socket_->Close();
        return;
    }
    const bool resolving = state_ == hsResolving;
    const TGuard guard(*this);
    SetState(hsAborting);
    if (!guard.Alive()) return;
    if (resolving) {
        // A lookup that cannot be cancelled any more has nothing left to stop.
        try {
            socket_->CancelDnsLookup();
        } catch (const std::exception&) {
        }
    }
    FailRequest(reason, error, failureCode);
    if (guard.Alive()) SetState(hsIdle);
}

void THttpCli::SetFailure(const std::string& reason, int error, std::uint16_t failureCode) {
    hop_.StatusCode = 404;
    hop_.ReasonPhrase = reason;
    lastRequestError_ = error;
    failureCode_ = failureCode;
}

void THttpCli::FinishReply() {
    phase_ = phEnded;  // our own close below ends nothing more
    CloseConnection();
    EndRequest();
}

void THttpCli::FailRequest(const std::string& reason, int error, std::uint16_t failureCode) {
    lineBuffer_.Clear();  // nothing more of this reply is handled
    SetFailure(reason, error, failureCode);
    const bool ended = phase_ == phIdle || phase_ == phEnded;
    phase_ = phEnded;  // the close below is this failure's, not an end of its own
    if (socket_->State() != wsClosed) CloseConnection();
    if (!ended) EndRequest();
}

void THttpCli::LineTooLong() {
    lineBuffer_.Clear();
    if (state_ == hsIdle) return;
    FailRequest("HTTP line too long", httperrLineTooLong, httperrLineTooLong);
}

// --- events ----------------------------------------------------------------------

void THttpCli::NotifyCookie(const std::string& data, bool& accept) {
    Fire(OnCookie, this, data, accept);
}
void THttpCli::NotifySessionConnected() {
    Fire(OnSessionConnected, this);
}
void THttpCli::NotifyRequestHeaderBegin() {
    Fire(OnRequestHeaderBegin, this);
}
void THttpCli::NotifyRequestHeaderEnd() {
    Fire(OnRequestHeaderEnd, this);
}
void THttpCli::NotifyHeaderBegin() {
    Fire(OnHeaderBegin, this);
}
void THttpCli::NotifyHeaderEnd() {
    Fire(OnHeaderEnd, this);
}
void THttpCli::NotifyDocBegin() {
    Fire(OnDocBegin, this);
}
void THttpCli::NotifyDocData(const char* buffer, int len) {
    Fire(OnDocData, this, buffer, len);
}
void THttpCli::NotifyDocEnd() {
    Fire(OnDocEnd, this);
}
void THttpCli::NotifySendBegin() {
    Fire(OnSendBegin, this);
}
void THttpCli::NotifySendData(const char* buffer, int len) {
    Fire(OnSendData, this, buffer, len);
}
void THttpCli::NotifySendEnd() {
    Fire(OnSendEnd, this);
}

}  // namespace net
