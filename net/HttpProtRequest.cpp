// The client's request: starting one, addressing its target, sending the
// request line, the header and the post data.
#include "net/HttpProt.h"

#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/HttpProtInternal.h"
#include "net/Idn.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"

namespace net {

namespace {
// The hosts of a target in the form that goes on the wire: the name looked
// up (the server's, or the proxy's), the one in the Host header and the
// request target's, each in its ASCII form. False when one has none.
bool AsciiHosts(THttpTarget& t, bool viaProxy) {
    if (!ToAsciiHost(t.Host, t.Host) || !ToAsciiHost(t.HostName, t.HostName)) return false;
    if (!viaProxy || !IsInternationalHost(t.RequestPath)) return true;
    // Through a proxy the request target is absolute and names the server.
    const TUrlParts u = SplitUrl(t.RequestPath);
    if (!IsInternationalHost(u.Host)) return true;
    t.RequestPath = AbsoluteTarget(u.Protocol, t.HostName, u.Port, u.Path);
    return true;
}
}  // namespace

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
    phases_.Begin();
    if (!EnterState(hsStarting)) return;  // a state-change handler aborted it

    documentName_.clear();
    hop_ = THttpHop{};
    receivedCount_ = 0;
    sentCount_ = 0;
    lineBuffer_.Clear();  // bytes left from an earlier connection are dropped
    sendingPostData_ = false;
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
    const bool asciiHosts = AsciiHosts(target_, !Proxy.empty());
    if (target_.RequestPath.empty()) target_.RequestPath.push_back('/');
    authOrigin_ = TargetOrigin(target_, !Proxy.empty());
    documentName_ = DocumentNameFromPath(documentName_);
    if (!IsHttpProtocol(target_.Protocol)) {
        // An ftp:// or mailto: entry would be fetched as HTTP and could pass.
        SetFailure("Unsupported protocol", httperrUnsupportedProtocol, 0);
        EndRequest();
        return;
    }
    if (!asciiHosts) {
        // A name in another script that has no ASCII form cannot be looked up.
        SetFailure(kInvalidInternationalHost, httperrInvalidHost, 0);
        EndRequest();
        return;
    }
    if (!target_.HostName.empty() && !IsValidHost(target_.HostName)) {
        // No name to ask the resolver about ("a:b:80" names the host "a:b").
        SetFailure("invalid host name", httperrInvalidHost, 0);
        EndRequest();
        return;
    }

    if (Timeout > 0) {
        long long ms = static_cast<long long>(Timeout) * 1000;
        if (ms > std::numeric_limits<std::int32_t>::max()) ms = std::numeric_limits<std::int32_t>::max();
        platform::SetTimer(window_, kTimeoutTimer, static_cast<platform::UINT>(ms));
    }
    StartLookup();
}

void THttpCli::TakeUrlCredentials(const TUrlParts& u) {
    // "%40" in a URL's user or password stands for "@", which could not be
    // written there as it is.
    if (!u.User.empty()) Username = PercentDecode(u.User);
    if (!u.Password.empty()) Password = PercentDecode(u.Password);
    if (!u.User.empty() || !u.Password.empty()) {
        urlUsername_ = Username;
        urlPassword_ = Password;
    }
}

void THttpCli::AddressDirect() {
    TUrlParts u = SplitUrl(WithoutFragment(URL));  // the fragment is the reader's, never the server's
    target_.HostName = u.Host;
    target_.RequestPath = u.Path;
    documentName_ = u.Path;
    TakeUrlCredentials(u);
    target_.Host = u.Host;
    target_.Port = u.Port.empty() ? DefaultPortForProtocol(u.Protocol) : u.Port;
    target_.Protocol = u.Protocol;
}

void THttpCli::AddressThroughProxy() {
    TUrlParts u = SplitUrl(WithoutFragment(URL));
    target_.HostName = u.Host;
    documentName_ = u.Path;
    TakeUrlCredentials(u);
    target_.RequestPath = AbsoluteTarget(u.Protocol, u.Host, u.Port, u.Path);
    TUrlParts p = SplitUrl(Proxy);
    target_.Host = p.Host;
    target_.Port = p.Port.empty() ? ProxyPort : p.Port;
    target_.Protocol = u.Protocol;
}

void THttpCli::ChannelReady() {
    // The connection carries HTTP now (for https, once TLS is up).
    const TGuard guard(*this);
    NotifySessionConnected();
    if (!guard.Alive() || state_ != hsConnected) return;
    phase_ = phHeader;
    if (!EnterState(hsReceivingHeader)) return;
    try {
        switch (requestKind_) {
            case rqGet: SendRequest("GET"); break;
            case rqHead: SendRequest("HEAD"); break;
            case rqPost:
                SendRequest("POST");
                if (!guard.Alive() || state_ != hsReceivingHeader) return;
                NotifySendBegin();
                if (!guard.Alive() || state_ != hsReceivingHeader) return;
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

namespace {

// Whether a header value can go into a request: a CR or LF would end the
// line and start another, and no other control character belongs in one
// either (a tab is a blank).
bool FitsInHeader(std::string_view value) {
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

void THttpCli::SendRequest(const std::string& method) {
    requestBuffer_.clear();
    const TGuard guard(*this);
    const auto running = [&] { return guard.Alive() && state_ == hsReceivingHeader; };
    NotifyRequestHeaderBegin();
    if (!running()) return;
    const bool post = method == "POST";
    // Inside a proxy's tunnel the request goes to the server itself: the
    // target in origin form, and the proxy's credentials stay with the proxy.
    const bool tunnelled = tlsUp_ && !Proxy.empty();
    std::vector<std::string> lines{method + " " + (tunnelled ? tunnelPath_ : target_.RequestPath) +
                                   " HTTP/1.0"};
    // A value with a control character is left out rather than sent.
    const auto field = [&lines](const char* name, const std::string& value) {
        if (FitsInHeader(value)) lines.push_back(name + (": " + value));
    };
    if (!Sender.empty()) field("From", Sender);
    if (!Accept.empty()) field("Accept", Accept);
    if (!Reference.empty()) field("Referer", Reference);
    if (post && !ContentTypePost.empty()) field("Content-Type", ContentTypePost);
    if (!Agent.empty()) field("User-Agent", Agent);
    field("Host", HostHeader());
    if (NoCache) field("Pragma", "no-cache");
    if (post) field("Content-Length", std::to_string(PostStream ? PostStream->Size() : 0));
    if (ModifiedSince != 0.0) field("If-Modified-Since", Rfc1123Date(ModifiedSince) + " GMT");
    // Credentials go only to the origin the request started at.
    if (!Username.empty() && TargetOrigin(target_, !Proxy.empty()) == authOrigin_)
        field("Authorization", "Basic " + Base64Encode(Username + ":" + Password));
    if (!Proxy.empty() && !ProxyUsername.empty() && !tunnelled)
        field("Proxy-Authorization", "Basic " + Base64Encode(ProxyUsername + ":" + ProxyPassword));
    if (!Cookie.empty()) field("Cookie", Cookie);
    if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
        field("Range", "bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
        ContentRangeBegin.clear();
        ContentRangeEnd.clear();
    }
    hop_.AcceptRanges.clear();
    // Each line is shown to OnCommand as it is buffered; a handler may end
    // the request (or free the client) at any of them.
    for (const std::string& line : lines) {
        SendHeaderLine(line);
        if (!running()) return;
    }
    NotifyRequestHeaderEnd();
    if (!running()) return;
    SendHeaderLine("");
    if (!running()) return;
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
    const TGuard guard(*this);
    Fire(OnCommand, this, s);
    if (!guard.Alive()) return;
    requestBuffer_ += s;
    requestBuffer_ += "\r\n";
}

void THttpCli::DataSent(std::uint16_t) {
    if (!sendingPostData_) return;
    std::int64_t n = 0;
    try {
        if (PostStream && !sendBuffer_) sendBuffer_.reset(new char[kSendChunkSize]);
        n = PostStream ? PostStream->Read(sendBuffer_.get(), kSendChunkSize) : 0;
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
    const TGuard guard(*this);
    NotifySendData(sendBuffer_.get(), static_cast<int>(n));
    if (!guard.Alive() || !sendingPostData_) return;
    Transmit(sendBuffer_.get(), static_cast<int>(n));
}

}  // namespace net
