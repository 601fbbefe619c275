// THttpCli: the message-driven HTTP/1.0 client the monitor fetches its hosts
// with. It drives one TWSocket through lookup, connection, request and reply,
// one request per connection, and reports progress through its events. Get
// is the blocking entry: it starts the request and sleeps in the message loop
// until the request is over, so every other handler of the thread (timers,
// buttons, the window closing) can run meanwhile, including Abort.
//
// A reply is a success only when it is one: a reset, a close before the
// first byte, bytes that are not HTTP, a first line that is no valid status
// line ("HTTP/1.0" or "HTTP/1.1", a blank, a code from 100 to 599), a second
// status line, a header line with a zero byte, a header the server closes
// before its empty line, a Content-Length that is no single plain number, a
// header section over 256 KiB and a body short of its Content-Length all
// fail the request. The body ends when Content-Length bytes have arrived (the
// request completes at once) or, without one, when the server closes. Interim
// 1xx replies are skipped. A "location" header moves the running request to
// the new target (at most 10 hops per request): the value resolves to one
// absolute URL, and with Proxy set every request is addressed to that HTTP
// proxy with that URL as its target. What a reply header sets lives in a
// per-hop record (THttpHop) that every hop starts fresh. Only http and https
// URLs are fetched, and a URL's fragment never goes on the wire.
//
// An https target (any case; port 443 unless named) runs the same request
// over TLS: a TTlsSession sits between the client and its socket, fed by the
// socket's data events and sending through the socket's Send, so plain HTTP
// goes out exactly as before. Each hop uses the protocol of its target.
// Through a Proxy, an https hop first opens a tunnel with CONNECT. A failed
// handshake or verification fails the request (404, LastRequestError
// httperrTlsFailed) with OpenSSL's reason after "TLS: ".
//
// Ownership: the client owns its socket, its notification target and its
// buffers. ReceiveStream and PostStream stay the caller's; the client writes
// to ReceiveStream only while a request runs. Everything runs on the thread
// that created the client. Events fire last in a step; a handler may call
// Abort or free the client, and the client takes a TGuard before every event
// it goes on after, then checks that it still exists and its state.
//
// Inside, one request moves through these phases (State() is the caller's
// coarser view and keeps its own values):
//
//   phase        event                                   next phase
//   phIdle       StartRequest                            phLookup
//   phLookup     host found, connect started             phConnect
//                (through a proxy that looks names up:
//                at once, without a lookup)
//   phConnect    refused or silent, another address left phConnect (the next address,
//                                                        once the failed one is closed)
//                connected: plain hop                    phHeader (request sent)
//                connected: https through a proxy        phTunnel (CONNECT sent)
//                connected: https                        phHandshake
//   phTunnel     the proxy's 2xx answer                  phHandshake
//   phHandshake  handshake done                          phHeader (request sent)
//   phHeader     the empty line of an interim 1xx reply  phHeader (the next status line)
//                the empty line of a reply with Location phRedirect (socket closing)
//                the empty line, or a "<HTML>" first line phBody
//                the end of a read with an error status  phEnded (we close)
//   phBody       Content-Length bytes in (HEAD, 204, 304: phEnded (we close)
//                at once), the end of an error status's read
//   phRedirect   the socket's close                      phLookup (MsgRelocate looks up)
//   any above    the peer's close, a reset, a failure,   phEnded (MsgSetIdle posted)
//                Abort, the time limit
//   phEnded      MsgSetIdle (Abort: at once)             phIdle
//
// Only phHeader and phBody read reply bytes; a close in phRedirect starts the
// next hop, and a close in phIdle or phEnded ends nothing. What the peer's
// close means depends on the phase alone: in phHeader before a first line it
// is an empty (or non-HTTP) reply, in phBody with Content-Length bytes still
// due a cut transfer, and otherwise the end of the body.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Events.h"
#include "base/Exception.h"
#include "base/Stream.h"
#include "net/HttpLocation.h"
#include "net/HttpReply.h"
#include "net/PhaseTimes.h"
#include "net/TlsSession.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"

namespace net {

class TWSocket;

enum THttpRequest : std::uint8_t { rqNone = 0, rqGet = 1, rqPost = 2, rqHead = 3 };

enum THttpClientState : std::uint8_t {
    hsIdle = 0,
    hsStarting = 1,
    hsConnected = 2,
    hsResolving = 3,
    hsResolved = 4,
    hsReceivingHeader = 5,
    hsReceivingBody = 6,
    hsAborting = 7,
};

// The client's failure: the message, and a code that is 1 (busy), 2 (nothing
// to post), 4 (line too long) or the status code (400 or more) of a failed
// blocking request.
class EHttpException : public base::Exception {
public:
    EHttpException(const std::string& message, std::uint16_t failureCode)
        : base::Exception(message), FailureCode(failureCode) {}
    std::uint16_t FailureCode = 0;
};

// The codes OnRequestDone reports besides the socket codes (10004...11004)
// and 0 for success.
constexpr int httperrAborted = 3;
constexpr int httperrLineTooLong = 4;
constexpr int httperrTooManyRedirections = 5;
constexpr int httperrUnsupportedProtocol = 6;
// TLS failed: handshake, verification, or a damaged record.
constexpr int httperrTlsFailed = 8;
// The proxy did not open the tunnel an https request asked for.
constexpr int httperrTunnelRefused = 9;
// "HTTP header too large": the header section passed MaxHeaderSection.
constexpr int httperrHeaderTooLarge = 10;
// "Empty reply from server": the connection ended before any reply came.
constexpr int httperrEmptyReply = 11;
// "Invalid HTTP reply": the reply begins neither with a status line nor
// with a document sent without a header.
constexpr int httperrInvalidReply = 12;
// "Invalid HTTP header": a header line holds a zero byte, a second status
// line comes inside a header, or Content-Length is no single plain number.
constexpr int httperrInvalidHeader = 13;
// "transfer closed with N bytes remaining": the connection ended before
// Content-Length bytes of body had come; "transfer closed": it ended inside
// a header, after its status line and before its empty line.
constexpr int httperrTransferClosed = 14;
// "Invalid redirection": a Location value with control characters, or one
// that names a host with a colon outside brackets.
constexpr int httperrInvalidRedirection = 15;

// The private messages the client posts to its own target.
constexpr platform::UINT MsgRequestDone = 0x401;
constexpr platform::UINT MsgSetIdle = 0x402;
constexpr platform::UINT MsgRelocate = 0x403;

// "Unsupported protocol" (httperrUnsupportedProtocol): a URL or a Location
// names a scheme other than http and https; nothing is connected.
// "invalid host name": the URL's host holds a colon outside an IPv6
// address's brackets ("a:b:80"), a blank or a control character; nothing is
// looked up. "invalid international host name" (the same code): a name in
// another script that has no ASCII form (net/Idn.h).
constexpr int httperrInvalidHost = 16;

// How many "location" hops one request follows before it fails.
constexpr int MaxRedirections = 10;

using TOnCommand = std::function<void(base::TObject* Sender, const std::string& S)>;
using TCookieRcvdEvent = std::function<void(base::TObject* Sender, const std::string& Data, bool& Accept)>;
using TDocDataEvent = std::function<void(base::TObject* Sender, const char* Buffer, int Len)>;
using THttpRequestDone = std::function<void(base::TObject* Sender, THttpRequest RqType, std::uint16_t Error)>;
using TStrayLineEvent = std::function<void(base::TObject* Sender, std::uint16_t Error)>;

// How the bytes of one hop travel: the protocol of each hop picks it.
enum class THttpTransport : std::uint8_t { htPlain, htTls };
// The transport a protocol text asks for ("https" in any case is TLS).
THttpTransport TransportForProtocol(std::string_view protocol);

// Text helpers of the client.
std::string Base64Encode(std::string_view text);
// "Mon, 05 Jan 1998 08:09:10" for a date-time in days since 1899-12-30,
// taken as GMT already; the caller appends " GMT".
std::string Rfc1123Date(double t);
// name with everything after its last "." replaced by ext, or "." + ext added.
std::string ReplaceExtension(const std::string& name, const std::string& ext);

// Everything one reply header sets. Every hop (and every interim 1xx reply)
// starts a fresh one, so nothing a redirecting reply said reaches the next.
struct THttpHop {
    std::int32_t StatusCode = 0;
    std::string ReasonPhrase;
    std::int64_t ContentLength = -1;  // -1: none given
    std::string ContentType;
    std::string RangeBegin;  // from a content-range header
    std::string RangeEnd;
    bool HasRange = false;
    std::string AcceptRanges;
    // The last non-empty Location value; the request moves there at the end
    // of the header.
    std::string Location;
    int LineCount = 0;             // lines of the reply being read; 0 before its first
    std::int64_t HeaderBytes = 0;  // bytes read in this hop's header section
    std::int64_t BodyLeft = -1;    // body bytes still due by Content-Length; -1: up to the close
    int BodyChunkCount = 0;
};

class THttpCli : public base::TObject {
public:
    THttpCli();
    ~THttpCli() override;
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // --- stored properties ---
    std::string URL;
    std::string Proxy;
    std::string ProxyPort = "80";
    std::string Sender;
    std::string Agent = "Mozilla/3.0 (compatible)";
    std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string Reference;
    std::string Username;
    std::string Password;
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool NoCache = false;
    double ModifiedSince = 0.0;  // days since 1899-12-30; 0 sends no If-Modified-Since
    std::string Cookie;
    std::string ContentTypePost = "application/x-www-form-urlencoded";
    std::string ContentRangeBegin;
    std::string ContentRangeEnd;
    // A SOCKS proxy: with SocksServer set, every connection of every hop
    // goes through it (they are applied to the socket before each connect,
    // so no close forgets them). SocksLevel is "4", "4A" or "5"; the server's
    // name is looked up here, unless SocksRemoteLookup is set or the level is
    // 4A: the proxy looks it up then. A SOCKS failure ends the request with
    // the proxy's text ("socks authentication failed", ...) and its code.
    std::string SocksServer;
    std::string SocksPort = "1080";
    std::string SocksLevel = "5";
    std::string SocksUsercode;
    std::string SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;
    bool SocksRemoteLookup = false;
    // Milliseconds one connect may take while the server's name has further
    // addresses to try; a refused or timed-out connect goes on to the next
    // address (IPv4 ones first, then IPv6).
    int ConnectAttemptLimit = 2000;
    // Seconds a whole request (every hop included) may take; 0 is no limit.
    // A request that runs out fails with LastRequestError 10060.
    int Timeout = 0;
    const std::string& AcceptRanges() const { return hop_.AcceptRanges; }
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool value);

    // --- run-time properties ---
    base::TStream* ReceiveStream = nullptr;
    base::TStream* PostStream = nullptr;
    std::int32_t StatusCode() const { return hop_.StatusCode; }
    const std::string& ReasonPhrase() const { return hop_.ReasonPhrase; }
    std::int64_t ContentLength() const { return hop_.ContentLength; }
    const std::string& ContentType() const { return hop_.ContentType; }
    const std::vector<std::string>& ResponseHeaderLines() const { return responseHeaderLines_; }
    const std::vector<std::string>& AuthenticateChallenges() const { return authenticateChallenges_; }
    const std::string& DocumentName() const { return documentName_; }
    const std::string& EffectiveUrl() const { return target_.EffectiveUrl; }
    // Where the last request's time went; complete once it has ended.
    const TPhaseTimes& PhaseTimes() const { return phases_; }
    std::int32_t ReceivedCount() const { return receivedCount_; }
    std::int32_t SentCount() const { return sentCount_; }
    THttpClientState State() const { return state_; }
    bool Connected() const { return connected_; }
    // The reply line or body piece being handed on; valid while the event
    // that reads it runs.
    std::string_view CurrentLine() const { return currentLine_; }
    THttpRequest RequestKind() const { return requestKind_; }
    std::int32_t LastRequestError() const { return lastRequestError_; }
    // How many "location" hops the current or last request followed (it
    // starts at 0 with every request).
    int RedirectCount() const { return redirectCount_; }
    // The expiry of the certificate the current https hop's server showed
    // (TTlsSession::PeerCertificateExpiry), while that hop's connection is
    // open: read it from OnHeaderBegin on. 0 for a plain hop.
    std::int64_t PeerCertificateExpiry() const {
        return tls_ && tls_->HandshakeDone() ? tls_->PeerCertificateExpiry() : 0;
    }
    TWSocket& Socket() { return *socket_; }

    // --- operations ---
    // Blocking requests: return when the request has ended with a status
    // below 400, raise EHttpException otherwise.
    void Get() { PerformRequest(rqGet); }
    void Head() { PerformRequest(rqHead); }
    void Post() { PerformRequest(rqPost); }
    void PerformRequest(THttpRequest kind);
    // Starts a request and returns at once; OnRequestDone tells the outcome.
    void StartRequest(THttpRequest kind);
    // Ends the running request at once ("Connection aborted on request").
    void Abort();

    // --- events ---
    base::TNotifyEvent OnStateChange;
    base::TNotifyEvent OnSessionConnected;
    base::TNotifyEvent OnRequestHeaderBegin;
    TOnCommand OnCommand;
    base::TNotifyEvent OnRequestHeaderEnd;
    base::TNotifyEvent OnHeaderBegin;
    base::TNotifyEvent OnHeaderData;
    base::TNotifyEvent OnHeaderEnd;
    TCookieRcvdEvent OnCookie;
    base::TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    base::TNotifyEvent OnDocEnd;
    base::TNotifyEvent OnSendBegin;
    base::TNotifyEvent OnSendEnd;
    TDocDataEvent OnSendData;
    base::TNotifyEvent OnLocationChange;
    THttpRequestDone OnRequestDone;
    base::TNotifyEvent OnTrace;  // never fired
    TStrayLineEvent OnStrayLine;

protected:
    virtual void SendHeaderLine(const std::string& s);
    virtual void StartLookup();
    virtual void CloseConnection();
    virtual void ResumeAfterRedirect(std::uint16_t error);
    virtual void NotifyCookie(const std::string& data, bool& accept);
    virtual void NotifySessionConnected();
    virtual void NotifyRequestHeaderBegin();
    virtual void NotifyRequestHeaderEnd();
    virtual void NotifyHeaderBegin();
    virtual void NotifyHeaderEnd();
    virtual void NotifyDocBegin();
    virtual void NotifyDocData(const char* buffer, int len);
    virtual void NotifyDocEnd();
    virtual void NotifySendBegin();
    virtual void NotifySendData(const char* buffer, int len);
    virtual void NotifySendEnd();

private:
    enum TPhase : std::uint8_t {
        phIdle,
        phLookup,
        phConnect,
        phTunnel,
        phHandshake,
        phHeader,
        phBody,
        phRedirect,
        phEnded,
    };

    platform::LRESULT WndProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void SetState(THttpClientState state);
    // Sets the state; true when the client still exists afterwards and no
    // state-change handler moved it on.
    bool EnterState(THttpClientState state);
    void PostMsg(platform::UINT msg);

    // Socket events.
    void DnsLookupDone(std::uint16_t error);
    void SessionConnected(std::uint16_t error);
    void DataAvailable(std::uint16_t error);
    void DataSent(std::uint16_t error);
    void SessionClosed(std::uint16_t error);  // the connection ended, or none was made
    // The request is over: the end every way shares.
    void EndRequest();
    // Ends the request with what has been read: the reply is complete, or an
    // error status needs no more of it.
    void FinishReply();
    // Records a local failure as the request's outcome.
    void SetFailure(const std::string& reason, int error, std::uint16_t failureCode);

    // The secure channel of an https hop, between the socket and the reply.
    void StartSecureChannel();
    void SendTunnelRequest();
    void TunnelReplyAvailable();
    void StartTls();
    void TlsDataAvailable(std::uint16_t error);
    void DeliverPlaintext(std::uint16_t error);
    void ChannelReady();
    void ChannelLost(std::uint16_t error);
    void TlsFailed();
    void FlushTls();
    void ShutdownTls();
    // Reads reply bytes: from the socket, or the plaintext TLS has decrypted.
    int ReceiveBytes(char* buffer, int size);
    // Sends request bytes: to the socket, or through TLS.
    void Transmit(const char* data, int len);

    // Request start and addressing.
    void AddressDirect();
    // Connects to resolvedAddress_ (through the SOCKS proxy when one is set).
    void ConnectResolved();
    // The server's addresses are known (addresses_): the first one is connected to.
    void ConnectFirstAddress();
    // Whether a failed connect with this code goes on to the next address.
    bool CanFailOver(int error) const;
    // Connects to the next address after the failed one was closed.
    void ConnectNextAddress(std::uint16_t error);
    void AddressThroughProxy();
    void TakeUrlCredentials(const TUrlParts& u);
    // The Host header's value: the name, with the port when not the default.
    std::string HostHeader() const;
    void SendRequest(const std::string& method);
    // Reply handling.
    void ReadReply(std::uint16_t error);
    void ReceiveBody();
    void HeaderLineHandler();
    void BodyHandler();
    void HeaderEnded();
    // At the end of the connection: what is held without a line end.
    void DeliverUnfinishedLine();
    void Redirect();
    // Ends the request at once with a local failure, as Abort does.
    void AbortWith(const std::string& reason, int error, std::uint16_t failureCode);
    // Ends the request through the connection's end with a local failure.
    void FailRequest(const std::string& reason, int error, std::uint16_t failureCode);
    void LineTooLong();

    // Taken before an event whose handler may free the client; Alive() tells
    // afterwards whether the client still exists:
    //     const TGuard guard(*this);
    //     NotifyHeaderEnd();
    //     if (!guard.Alive() || state_ != hsReceivingBody) return;
    class TGuard {
    public:
        explicit TGuard(const THttpCli& client) : alive_(client.alive_) {}
        bool Alive() const { return *alive_; }

    private:
        std::shared_ptr<bool> alive_;
    };
    // Turns false when the client is destroyed; read through TGuard.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::unique_ptr<TWSocket> socket_;
    platform::HWND window_ = 0;
    std::string requestBuffer_;
    THttpLineBuffer lineBuffer_;
    std::unique_ptr<char[]> bodyBuffer_;  // body reads go here, in big pieces
    std::unique_ptr<char[]> sendBuffer_;  // post data, taken at its first piece

    bool multiThreaded_ = false;
    THttpHop hop_;  // what the current hop's reply has said
    std::vector<std::string> responseHeaderLines_;
    std::vector<std::string> authenticateChallenges_;
    std::string documentName_;
    std::int32_t receivedCount_ = 0;
    TPhaseTimes phases_;
    std::int32_t sentCount_ = 0;
    THttpClientState state_ = hsIdle;
    bool connected_ = false;
    std::string_view currentLine_;
    THttpRequest requestKind_ = rqNone;
    std::int32_t lastRequestError_ = 0;

    THttpTarget target_;  // TargetHost, TargetPort, HostName, RequestPath of the current hop
    // The origin (protocol, host, port) of the request's first hop: the only
    // one Username and Password are sent to.
    std::string authOrigin_;
    // The credentials the last URL brought; they do not outlive that URL.
    std::string urlUsername_;
    std::string urlPassword_;
    std::string resolvedAddress_;
    std::vector<std::string> addresses_;  // the server's addresses, in the order tried
    std::size_t addressIndex_ = 0;        // the one resolvedAddress_ is
    bool failoverPending_ = false;        // the close of a failed connect goes on to the next
    std::string socksError_;              // the proxy's text of the last SOCKS failure
    TPhase phase_ = phIdle;
    bool sendingPostData_ = false;
    int redirectCount_ = 0;
    // The code Get raises with when it is not the status code.
    std::uint16_t failureCode_ = 0;
    // Numbers the requests: a posted message of an earlier request finds a
    // different number and is dropped.
    platform::WPARAM serial_ = 0;

    // The request and reply of this hop travel inside TLS (set once the
    // handshake is done, cleared when the session is shut down).
    bool tlsUp_ = false;
    std::unique_ptr<TTlsSession> tls_;
    std::unique_ptr<char[]> tlsInput_;  // ciphertext as read from the socket
    std::string tlsOutput_;             // ciphertext on its way to the socket
    std::string tlsHost_;               // the name the certificate must carry
    std::string tlsPort_;
    std::string tunnelPath_;  // the request target inside a tunnel (origin form)
    int tunnelStatus_ = -1;   // status of the proxy's answer; -1 before its first line
    std::string tunnelReason_;
    std::vector<std::string> tunnelLines_;
    bool tlsGotPlain_ = false;  // the last ReceiveBytes took plaintext from TLS
};

}  // namespace net
