#include "net/HttpProt.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "net/WinsockLib.h"
#include "platform/Application.h"
#include "platform/SocketErrors.h"

namespace net {

namespace {

// Body reads go into one buffer this big: a large download costs a few
// thousand reads instead of one per 8 KiB, and the bytes are written to the
// stream from where they landed.
constexpr int kBodyBufferSize = 256 * 1024;
// TLS input is read from the socket in pieces this big, decrypted, and
// handed on in pieces as big as the reader takes.
constexpr int kTlsInputSize = 256 * 1024;
// The time limit's timer: one per client, stopped when a request ends and
// re-armed by the next, not made anew for each request.
constexpr platform::WPARAM kTimeoutTimer = 1;
constexpr platform::WPARAM kConnectAttemptTimer = 2;

// Codes OnRequestDone reports for failures of the client itself.
constexpr int kTimedOut = 10060;
// A stream of the caller failed: the body could not be stored, or the post
// data could not be read.
constexpr int httperrStreamFailed = 7;

std::string DocumentNameFromPath(std::string path) {
    if (path.empty() || path == "/") return "document.htm";
    if (path.back() == '/') path.pop_back();
    path = path.substr(static_cast<std::size_t>(LastPos("/", path))).substr(0, 255);
    if (std::size_t q = path.find('?'); q != std::string::npos) path.resize(q);
    return path;
}

// A failure's text with its number, as the log shows it
// ("Connection refused (Error #10061)").
std::string WithErrorNumber(const std::string& text, int code) {
    return text + " (Error #" + std::to_string(code) + ")";
}

}  // namespace

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
    StartRequest(kind);
    // Sleep in the loop until the request has ended: every round dispatches
    // what is due and then waits for the next message, so a slow server costs
    // no processor time.
    while (state_ != hsIdle) {
        if (multiThreaded_) {
            socket_->PumpOwnMessages();
            if (state_ != hsIdle) platform::WaitMessage(-1);
        } else {
            platform::Application().HandleMessage();
        }
    }
    if (statusCode_ >= 400)
        throw EHttpException(reasonPhrase_,
                             failureCode_ != 0 ? failureCode_ : static_cast<std::uint16_t>(statusCode_));
}

void THttpCli::StartRequest(THttpRequest kind) {
    if (state_ != hsIdle) throw EHttpException("HTTP component is busy", 1);
    if (kind == rqPost && PostStream == nullptr)
        throw EHttpException("HTTP component has nothing to post", 2);

    ++serial_;
    // A long header from an earlier host gives its memory back.
    if (responseHeaderLines_.capacity() > 256) std::vector<std::string>().swap(responseHeaderLines_);
    responseHeaderLines_.clear();
    authenticateChallenges_.clear();
    requestKind_ = kind;
    lastRequestError_ = 0;
    failureCode_ = 0;
    redirectCount_ = 0;
    phase_ = phLookup;
    SetState(hsStarting);
    if (state_ != hsStarting) return;  // a state-change handler aborted it

    documentName_.clear();
    statusCode_ = 0;
    receivedCount_ = 0;
    sentCount_ = 0;
    headerLineCount_ = 0;
    headerBytes_ = 0;
    bodyLeft_ = -1;
    bodyChunkCount_ = 0;
    lineBuffer_.Clear();  // bytes left from an earlier connection are dropped
    contentLength_ = -1;
    contentType_.clear();
    sendingPostData_ = false;
    location_.clear();
    target_.EffectiveUrl = URL;

    // Credentials a URL brought belong to that URL: the next URL starts
    // without them.
    if (!urlUsername_.empty() && Username == urlUsername_ && Password == urlPassword_) {
        Username.clear();
        Password.clear();
    }
    urlUsername_.clear();
    urlPassword_.clear();
    if (Proxy.empty())
        AddressDirect();
    else
        AddressThroughProxy();
    if (target_.RequestPath.empty()) target_.RequestPath = "/";
    authOrigin_ = TargetOrigin(target_, !Proxy.empty());
    documentName_ = DocumentNameFromPath(documentName_);

    if (Timeout > 0) {
        long long ms = static_cast<long long>(Timeout) * 1000;
        if (ms > std::numeric_limits<std::int32_t>::max()) ms = std::numeric_limits<std::int32_t>::max();
        platform::SetTimer(window_, kTimeoutTimer, static_cast<platform::UINT>(ms));
    }
    StartLookup();
}

void THttpCli::TakeUrlCredentials(const TUrlParts& u) {
    if (!u.User.empty()) Username = u.User;
    if (!u.Password.empty()) Password = u.Password;
    if (!u.User.empty() || !u.Password.empty()) {
        urlUsername_ = Username;
        urlPassword_ = Password;
    }
}

void THttpCli::AddressDirect() {
    TUrlParts u = SplitUrl(URL);
    target_.HostName = u.Host;
    target_.RequestPath = u.Path;
    documentName_ = u.Path;
    TakeUrlCredentials(u);
    target_.Host = u.Host;
    target_.Port = u.Port.empty() ? DefaultPortForProtocol(u.Protocol) : u.Port;
    target_.Protocol = u.Protocol;
}

void THttpCli::AddressThroughProxy() {
    TUrlParts u = SplitUrl(URL);
    target_.HostName = u.Host;
    documentName_ = u.Path;
    TakeUrlCredentials(u);
    target_.RequestPath = AbsoluteTarget(u.Protocol, u.Host, u.Port, u.Path);
    TUrlParts p = SplitUrl(Proxy);
    target_.Host = p.Host;
    target_.Port = p.Port.empty() ? ProxyPort : p.Port;
    target_.Protocol = u.Protocol;
}

void THttpCli::StartLookup() {
    resolvedAddress_.clear();
    addresses_.clear();
    addressIndex_ = 0;
    failoverPending_ = false;
    phase_ = phLookup;
    SetState(hsResolving);
    if (state_ != hsResolving) return;
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
        statusCode_ = 404;
        reasonPhrase_ = "can't resolve hostname to IP address";
        SessionClosed(0);
    }
}

// --- socket events -------------------------------------------------------------

void THttpCli::DnsLookupDone(std::uint16_t error) {
    if (state_ != hsResolving) return;  // aborted, timed out, or no lookup of ours
    if (error != 0) {
        lastRequestError_ = error;
        statusCode_ = 404;
        reasonPhrase_ = "can't resolve hostname to IP address";
        SessionClosed(0);
        return;
    }
    addresses_ = socket_->DnsResultList();
    if (addresses_.empty()) addresses_.push_back(socket_->DnsResult());
    ConnectFirstAddress();
}

void THttpCli::ConnectFirstAddress() {
    addressIndex_ = 0;
    resolvedAddress_ = addresses_.front();
    phase_ = phConnect;
    SetState(hsResolved);
    if (state_ != hsResolved) return;
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
        statusCode_ = 404;
        reasonPhrase_ = WithErrorNumber("can't connect: " + SocketErrorText(code), code);
        // The connect failed before it reached the network (a port that is
        // no number nor service): say what was wrong instead of "No Error",
        // and report an error code, not the 0 of success.
        if (code == 0) {
            reasonPhrase_ = "can't connect: " + std::string(e.what());
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
        statusCode_ = 404;
        // A SOCKS failure reads with the proxy's text, not as a socket error.
        reasonPhrase_ = WithErrorNumber(socksError_.empty() ? SocketErrorText(error) : socksError_, error);
        SessionClosed(0);
        return;
    }
    connected_ = true;
    SetState(hsConnected);
    if (state_ != hsConnected) return;
    if (TransportForProtocol(target_.Protocol) == THttpTransport::htTls) {
        StartSecureChannel();
        return;
    }
    ChannelReady();
}

void THttpCli::ChannelReady() {
    // The connection carries HTTP now (for https, once TLS is up).
    NotifySessionConnected();
    if (state_ != hsConnected) return;
    phase_ = phHeader;
    SetState(hsReceivingHeader);
    if (state_ != hsReceivingHeader) return;
    try {
        switch (requestKind_) {
            case rqGet: SendRequest("GET"); break;
            case rqHead: SendRequest("HEAD"); break;
            case rqPost:
                SendRequest("POST");
                if (state_ != hsReceivingHeader) return;
                NotifySendBegin();
                sendingPostData_ = true;
                DataSent(0);
                break;
            case rqNone: break;
        }
    } catch (const ESocketException& e) {
        // The request could not be sent: the host did not get it, so the
        // request fails with the socket's text and code.
        FailRequest(e.what(), socket_->LastError(), 0);
    } catch (const std::exception& e) {
        // The caller's post stream failed; its code is no socket's.
        FailRequest(e.what(), httperrStreamFailed, 0);
    }
}

void THttpCli::SendRequest(const std::string& method) {
    requestBuffer_.clear();
    NotifyRequestHeaderBegin();
    const bool post = method == "POST";
    // Inside a proxy's tunnel the request goes to the server itself: the
    // target in origin form, and the proxy's credentials stay with the proxy.
    const bool tunnelled = tlsUp_ && !Proxy.empty();
    SendHeaderLine(method + " " + (tunnelled ? tunnelPath_ : target_.RequestPath) + " HTTP/1.0");
    if (!Sender.empty()) SendHeaderLine("From: " + Sender);
    if (!Accept.empty()) SendHeaderLine("Accept: " + Accept);
    if (!Reference.empty()) SendHeaderLine("Referer: " + Reference);
    if (post && !ContentTypePost.empty()) SendHeaderLine("Content-Type: " + ContentTypePost);
    if (!Agent.empty()) SendHeaderLine("User-Agent: " + Agent);
    SendHeaderLine("Host: " + HostHeader());
    if (NoCache) SendHeaderLine("Pragma: no-cache");
    if (post) SendHeaderLine("Content-Length: " + std::to_string(PostStream ? PostStream->Size() : 0));
    if (ModifiedSince != 0.0) SendHeaderLine("If-Modified-Since: " + Rfc1123Date(ModifiedSince) + " GMT");
    // Credentials go only to the origin the request started at.
    if (!Username.empty() && TargetOrigin(target_, !Proxy.empty()) == authOrigin_)
        SendHeaderLine("Authorization: Basic " + Base64Encode(Username + ":" + Password));
    if (!Proxy.empty() && !ProxyUsername.empty() && !tunnelled)
        SendHeaderLine("Proxy-Authorization: Basic " + Base64Encode(ProxyUsername + ":" + ProxyPassword));
    if (!Cookie.empty()) SendHeaderLine("Cookie: " + Cookie);
    if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
        SendHeaderLine("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
        ContentRangeBegin.clear();
        ContentRangeEnd.clear();
    }
    acceptRanges_.clear();
    NotifyRequestHeaderEnd();
    SendHeaderLine("");
    Transmit(requestBuffer_.data(), static_cast<int>(requestBuffer_.size()));
    requestBuffer_.clear();
}

std::string THttpCli::HostHeader() const {
    // The port goes with the name unless it is the protocol's default.
    std::string protocol = target_.Protocol;
    std::string port = target_.Port;
    if (!Proxy.empty()) {
        TUrlParts u = SplitUrl(target_.RequestPath);
        protocol = u.Protocol;
        port = u.Port;
    }
    if (port.empty() || port == DefaultPortForProtocol(protocol)) return target_.HostName;
    return target_.HostName + ":" + port;
}

void THttpCli::SendHeaderLine(const std::string& s) {
    Fire(OnCommand, this, s);
    requestBuffer_ += s;
    requestBuffer_ += "\r\n";
}

void THttpCli::DataSent(std::uint16_t) {
    if (!sendingPostData_) return;
    std::int64_t n = 0;
    try {
        n = PostStream ? PostStream->Read(sendBuffer_, sizeof sendBuffer_) : 0;
    } catch (const std::exception& e) {
        // Post data that cannot be read fails the request: the server would
        // wait for the rest of a body that never comes.
        sendingPostData_ = false;
        FailRequest(e.what(), httperrStreamFailed, 0);
        return;
    }
    if (n <= 0) {
        sendingPostData_ = false;
        NotifySendEnd();
        return;
    }
    sentCount_ =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(sentCount_) + static_cast<std::uint32_t>(n));
    NotifySendData(sendBuffer_, static_cast<int>(n));
    if (!sendingPostData_) return;
    Transmit(sendBuffer_, static_cast<int>(n));
}

void THttpCli::DataAvailable(std::uint16_t error) {
    switch (phase_) {
        case phTunnel: TunnelReplyAvailable(); return;
        case phHandshake: TlsDataAvailable(error); return;
        default:
            if (tlsUp_)
                TlsDataAvailable(error);
            else
                ReadReply(error);
            return;
    }
}

void THttpCli::ReadReply(std::uint16_t error) {
    if (phase_ == phBody) {
        ReceiveBody();
        return;
    }
    if (lineBuffer_.Free() <= 0) {
        LineTooLong();
        return;
    }
    char* into = lineBuffer_.WritePtr();
    int n = ReceiveBytes(into, lineBuffer_.Free());
    if (requestKind_ == rqNone || n <= 0) return;
    lineBuffer_.Commit(n);
    if (phase_ == phHeader) headerBytes_ += n;

    // A handler may change the phase or empty the buffer: both are read anew
    // for every line.
    std::string_view line;
    while (lineBuffer_.Length() > 0 && lineBuffer_.NextLine(line)) {
        currentLine_ = line;
        if (phase_ == phHeader)
            HeaderLineHandler();
        else if (phase_ == phBody)
            BodyHandler();
        else
            Fire(OnStrayLine, this, error);
    }
    if (phase_ != phHeader && phase_ != phBody) return;
    // An error reply ends the connection once this read is handled: the
    // lines that came with the status line (and any body bytes behind them)
    // are still taken.
    if (statusCode_ >= 400) {
        FinishReply();
        return;
    }
    if (phase_ != phHeader) return;
    if (lineBuffer_.ZeroInLine()) {
        FailRequest("Invalid HTTP header", httperrInvalidHeader, 0);
    } else if (headerLineCount_ == 0 && !CanStartReply(lineBuffer_.Bytes(), false)) {
        FailRequest("Invalid HTTP reply", httperrInvalidReply, 0);
    } else if (headerBytes_ > MaxHeaderSection) {
        // Endless short lines would hold memory without bound.
        FailRequest("HTTP header too large", httperrHeaderTooLarge, 0);
    } else if (lineBuffer_.Free() <= 0) {
        // A header line that fills the whole buffer can never end: the
        // request ends now instead of waiting for a server that keeps sending.
        LineTooLong();
    }
}

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

void THttpCli::SessionClosed(std::uint16_t error) {
    // The connection ended (the peer closed it, or we did), or none was ever
    // made (a failed lookup or connect).
    if (phase_ == phIdle || phase_ == phEnded) return;
    if (error != 0 && (phase_ == phHeader || phase_ == phBody)) {
        // A reset before the reply is complete: what arrived is not the reply.
        lineBuffer_.Clear();
        SetFailure(WithErrorNumber(SocketErrorText(error), error), error, 0);
        EndRequest();
        return;
    }
    DeliverUnfinishedLine();
    if (phase_ == phEnded) return;  // storing it failed, and that failure ended the request
    if (phase_ == phHeader && headerLineCount_ == 0) {
        // Not one line of a reply: nothing came at all (or only interim
        // replies), or bytes that are no HTTP.
        if (lineBuffer_.Length() == 0)
            SetFailure("Empty reply from server", httperrEmptyReply, 0);
        else
            SetFailure("Invalid HTTP reply", httperrInvalidReply, 0);
    } else if (phase_ == phBody && bodyLeft_ > 0) {
        SetFailure("transfer closed with " + std::to_string(bodyLeft_) + " bytes remaining",
                   httperrTransferClosed, 0);
    }
    lineBuffer_.Clear();
    // A connection that ends before its tunnel or handshake is done fails.
    if (phase_ == phTunnel || phase_ == phHandshake) ChannelLost(error);
    EndRequest();
}

void THttpCli::EndRequest() {
    phase_ = phEnded;
    tlsUp_ = false;
    if (tls_) tls_->Reset();
    platform::StopTimer(window_, kTimeoutTimer);
    connected_ = false;
    PostMsg(MsgSetIdle);
    if (bodyChunkCount_ > 0) NotifyDocEnd();
}

void THttpCli::DeliverUnfinishedLine() {
    // A document sent without a header may end without a line end: its last
    // line (or its only one) is still held when the server closes, and it is
    // body, not to be dropped. A partial header line is dropped.
    // Complete lines still held are the reading loop's: an error status
    // closes the connection from inside that loop, and the loop goes on.
    if (lineBuffer_.Length() == 0 || lineBuffer_.HasLine()) return;
    const std::string_view held = lineBuffer_.Bytes();
    if (phase_ == phHeader && ParseHeaderLine(held).Kind == THeaderLineKind::hlHtml) {
        currentLine_ = held;
        lineBuffer_.Clear();
        HeaderLineHandler();
    } else if (phase_ == phBody) {
        currentLine_ = held;
        lineBuffer_.Clear();
        BodyHandler();
    }
}

// --- the reply -----------------------------------------------------------------

void THttpCli::HeaderLineHandler() {
    if (headerLineCount_ == 0) {
        if (!CanStartReply(currentLine_, true)) {
            FailRequest("Invalid HTTP reply", httperrInvalidReply, 0);
            return;
        }
        NotifyHeaderBegin();
        if (state_ != hsReceivingHeader) return;
    }
    ++headerLineCount_;
    THeaderLine h = ParseHeaderLine(currentLine_);
    switch (h.Kind) {
        case THeaderLineKind::hlHtml:
            // A document sent with no header at all.
            if (contentType_.empty()) contentType_ = "text/html";
            phase_ = phBody;
            SetState(hsReceivingBody);
            if (state_ != hsReceivingBody) return;
            NotifyHeaderEnd();
            if (state_ != hsReceivingBody) return;
            BodyHandler();
            return;
        case THeaderLineKind::hlEmpty: HeaderEnded(); return;
        default: break;
    }

    responseHeaderLines_.emplace_back(currentLine_);
    if (h.Kind == THeaderLineKind::hlStatus) {
        // A code that is no number leaves the line without effect.
        if (h.StatusCode) {
            statusCode_ = *h.StatusCode;
            reasonPhrase_ = h.ReasonPhrase;
        }
    } else if (h.Kind == THeaderLineKind::hlField) {
        const std::string& name = h.Name;
        if (name == "location") {
            if (!base::Trim(h.Value).empty()) location_ = h.Value;
        } else if (name == "content-length") {
            if (auto v = HeaderNumber(h.Value)) contentLength_ = *v;
        } else if (name == "content-range") {
            ParseContentRange(h.Value, ContentRangeBegin, ContentRangeEnd);
        } else if (name == "accept-ranges") {
            acceptRanges_ = h.Value;
        } else if (name == "content-type") {
            contentType_ = base::LowerCase(h.Value);
        } else if (name == "www-authenticate") {
            authenticateChallenges_.emplace_back(h.Value);
        } else if (name == "set-cookie") {
            bool accept = true;
            NotifyCookie(std::string(h.Value), accept);
        }
    }
    Fire(OnHeaderData, this);
}

void THttpCli::HeaderEnded() {
    if (statusCode_ >= 100 && statusCode_ < 200) {
        // An interim reply ("100 Continue"): the real one follows on the
        // same connection, and its status line starts a reply anew.
        headerLineCount_ = 0;
        statusCode_ = 0;
        location_.clear();
        return;
    }
    // An error reply is not followed: its connection ends with this read.
    if (!location_.empty() && statusCode_ < 400) {
        const TLocationResult moved = FollowLocation(location_, !Proxy.empty(), target_);
        location_.clear();
        if (moved == TLocationResult::lrInvalid) {
            // Control characters would end or split the next request line.
            FailRequest("Invalid redirection", httperrInvalidRedirection, 0);
            return;
        }
        Redirect();
        return;
    }
    int dot = LastPos(".", documentName_);
    if (dot > 0 && base::LowerCase(documentName_.substr(static_cast<std::size_t>(dot - 1))) == ".exe" &&
        contentType_ == "text/html")
        documentName_ = ReplaceExtension(documentName_, "htm");
    // Content-Length bytes end the body; a HEAD reply and the statuses that
    // carry none have no body whatever they announce.
    if (requestKind_ == rqHead || statusCode_ == 204 || statusCode_ == 304)
        bodyLeft_ = 0;
    else
        bodyLeft_ = contentLength_;
    phase_ = phBody;
    SetState(hsReceivingBody);
    if (state_ != hsReceivingBody) return;
    NotifyHeaderEnd();
    if (state_ != hsReceivingBody) return;
    if (bodyLeft_ == 0) {
        FinishReply();
        return;
    }
    // Bytes behind the empty line came in the same read: they are body.
    if (lineBuffer_.Length() > 0) {
        currentLine_ = lineBuffer_.Bytes();
        lineBuffer_.Clear();  // the view stays valid: nothing is read meanwhile
        BodyHandler();
    }
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

void THttpCli::Redirect() {
    if (redirectCount_ >= MaxRedirections) {
        lineBuffer_.Clear();
        FailRequest("Too many redirections", httperrTooManyRedirections, 0);
        return;
    }
    ++redirectCount_;
    NotifyHeaderEnd();
    if (state_ != hsReceivingHeader) return;
    // The redirecting reply's own body is never delivered.
    lineBuffer_.Clear();
    headerLineCount_ = 0;
    headerBytes_ = 0;
    bodyChunkCount_ = 0;
    phase_ = phRedirect;
    ShutdownTls();
    socket_->Close();
}

void THttpCli::ResumeAfterRedirect(std::uint16_t) {
    connected_ = false;
    phase_ = phLookup;  // MsgRelocate starts the next hop's lookup
    PostMsg(MsgRelocate);
    Fire(OnLocationChange, this);
}

// --- the secure channel of an https hop ---------------------------------------------
//
// The socket stays a plain TCP socket. Its data events feed the TLS session
// with what arrived, and the reply reader takes the decrypted bytes through
// ReceiveBytes; the request goes out through Transmit, which encrypts it.
// Through a proxy, the connection first asks for a tunnel with CONNECT and
// TLS starts once the proxy has said yes.

void THttpCli::StartSecureChannel() {
    if (!tls_) tls_ = std::make_unique<TTlsSession>();
    if (!tlsInput_) tlsInput_.reset(new char[kTlsInputSize]);
    if (Proxy.empty()) {
        tlsHost_ = target_.Host;
        tlsPort_ = target_.Port;
        StartTls();
        return;
    }
    // The request target is absolute in proxy mode: it names the server.
    TUrlParts u = SplitUrl(target_.RequestPath);
    tlsHost_ = u.Host;
    tlsPort_ = u.Port.empty() ? DefaultPortForProtocol(u.Protocol) : u.Port;
    tunnelPath_ = u.Path.empty() ? "/" : u.Path;
    tunnelStatus_ = -1;
    tunnelReason_.clear();
    tunnelLines_.clear();
    lineBuffer_.Clear();
    phase_ = phTunnel;
    SendTunnelRequest();
}

void THttpCli::SendTunnelRequest() {
    std::string request = "CONNECT " + tlsHost_ + ":" + tlsPort_ + " HTTP/1.0\r\n";
    if (!ProxyUsername.empty())
        request += "Proxy-Authorization: Basic " + Base64Encode(ProxyUsername + ":" + ProxyPassword) + "\r\n";
    request += "\r\n";
    try {
        socket_->Send(request.data(), static_cast<int>(request.size()));
    } catch (const std::exception& e) {
        FailRequest(e.what(), socket_->LastError(), 0);
    }
}

void THttpCli::TunnelReplyAvailable() {
    if (lineBuffer_.Free() <= 0) {
        LineTooLong();
        return;
    }
    int n = socket_->Receive(lineBuffer_.WritePtr(), lineBuffer_.Free());
    if (n <= 0) return;
    lineBuffer_.Commit(n);
    std::string_view line;
    while (phase_ == phTunnel && lineBuffer_.NextLine(line)) {
        if (tunnelStatus_ < 0) {
            THeaderLine h = ParseHeaderLine(line);
            tunnelStatus_ = h.Kind == THeaderLineKind::hlStatus && h.StatusCode ? *h.StatusCode : 0;
            tunnelReason_ = h.ReasonPhrase;
            tunnelLines_.emplace_back(line);
            continue;
        }
        if (!line.empty()) {
            tunnelLines_.emplace_back(line);
            continue;
        }
        // The empty line ends the proxy's answer. A TLS server never speaks
        // first, so nothing of the server's can be behind it yet.
        lineBuffer_.Clear();
        if (tunnelStatus_ >= 200 && tunnelStatus_ < 300) {
            StartTls();
            return;
        }
        // Refused: the request fails with the proxy's own status and reason,
        // and its answer is kept with the reply lines.
        responseHeaderLines_.insert(responseHeaderLines_.end(), tunnelLines_.begin(), tunnelLines_.end());
        const bool status = tunnelStatus_ >= 400;
        const std::string reason =
            status ? tunnelReason_ : "Proxy refused the tunnel: " + tunnelLines_.front();
        FailRequest(reason, httperrTunnelRefused, 0);
        if (status) statusCode_ = tunnelStatus_;
        return;
    }
}

void THttpCli::StartTls() {
    phase_ = phHandshake;
    if (!tls_->Start(tlsHost_, tlsHost_ + ":" + tlsPort_)) {
        TlsFailed();
        return;
    }
    FlushTls();
}

void THttpCli::TlsDataAvailable(std::uint16_t error) {
    int n = socket_->Receive(tlsInput_.get(), kTlsInputSize);
    if (n > 0)
        tls_->Feed(tlsInput_.get(), static_cast<std::size_t>(n));
    else if (n == 0)
        tls_->FeedEof();
    // (Less than 0: nothing more has arrived, or the socket failed and its
    // close follows.)
    if (phase_ == phHandshake) {
        FlushTls();  // the handshake's next flight, or the alert of a failure
        if (phase_ != phHandshake) return;
        if (tls_->State() == tlsFailed) {
            TlsFailed();
            return;
        }
        if (!tls_->HandshakeDone()) return;
        tlsUp_ = true;
        ChannelReady();
        if (!tlsUp_) return;
    }
    DeliverPlaintext(error);
}

void THttpCli::DeliverPlaintext(std::uint16_t error) {
    // Hand on everything TLS has decrypted: the socket only calls again when
    // more arrives, and bytes left inside TLS would be lost at the close.
    while (tlsUp_ && (phase_ == phHeader || phase_ == phBody)) {
        tlsGotPlain_ = false;
        ReadReply(error);
        if (!tlsGotPlain_) break;
    }
    if (!tlsUp_) return;  // the reply ended the connection (a redirection, an error status)
    if (tls_->State() == tlsFailed) {
        TlsFailed();
        return;
    }
    // The server said goodbye properly: ours answers before the socket closes.
    if (tls_->State() == tlsClosed) {
        try {
            FlushTls();
        } catch (const std::exception&) {
            // the server may be gone already; its close ends the request
        }
    }
}

int THttpCli::ReceiveBytes(char* buffer, int size) {
    if (!tlsUp_) return socket_->Receive(buffer, size);
    std::size_t got = 0;
    while (got < static_cast<std::size_t>(size)) {
        std::size_t n = tls_->Read(buffer + got, static_cast<std::size_t>(size) - got);
        if (n == 0) break;
        got += n;
    }
    tlsGotPlain_ = got > 0;
    return static_cast<int>(got);
}

void THttpCli::Transmit(const char* data, int len) {
    if (!tlsUp_) {
        socket_->Send(data, len);
        return;
    }
    if (len > 0) tls_->Write(data, static_cast<std::size_t>(len));
    FlushTls();
}

void THttpCli::FlushTls() {
    tlsOutput_.clear();
    tls_->TakeOutput(tlsOutput_);
    if (!tlsOutput_.empty() && socket_->State() == wsConnected)
        socket_->Send(tlsOutput_.data(), static_cast<int>(tlsOutput_.size()));
}

void THttpCli::ShutdownTls() {
    if (!tls_) return;
    if (tlsUp_) {
        // A proper goodbye before the socket closes.
        tls_->Shutdown();
        try {
            FlushTls();
        } catch (const std::exception&) {
            // the connection is closing anyway
        }
    }
    tlsUp_ = false;
    tls_->Reset();
}

void THttpCli::TlsFailed() {
    const std::string reason = tls_->ErrorText();
    try {
        FlushTls();  // the alert that tells the server why
    } catch (const std::exception&) {
        // the failure stands whether or not the server hears of it
    }
    tls_->Reset();
    FailRequest(reason, httperrTlsFailed, 0);
}

void THttpCli::ChannelLost(std::uint16_t error) {
    statusCode_ = 404;
    if (error != 0) {
        lastRequestError_ = error;
        reasonPhrase_ = WithErrorNumber(SocketErrorText(error), error);
    } else if (phase_ == phTunnel) {
        lastRequestError_ = httperrTunnelRefused;
        reasonPhrase_ = "Proxy closed the connection before the tunnel was open";
    } else {
        tls_->FeedEof();
        lastRequestError_ = httperrTlsFailed;
        reasonPhrase_ = tls_->State() == tlsFailed ? tls_->ErrorText() : "TLS: unexpected eof while reading";
    }
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
    SetState(hsAborting);
    if (resolving) {
        // A lookup that cannot be cancelled any more has nothing left to stop.
        try {
            socket_->CancelDnsLookup();
        } catch (const std::exception&) {
        }
    }
    FailRequest(reason, error, failureCode);
    SetState(hsIdle);
}

void THttpCli::SetFailure(const std::string& reason, int error, std::uint16_t failureCode) {
    statusCode_ = 404;
    reasonPhrase_ = reason;
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
