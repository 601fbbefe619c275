// The client's secure channel: the tunnel through a proxy and TLS.
#include "net/HttpProt.h"

#include <cstring>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/HttpProtInternal.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"

namespace net {

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
            phases_.Mark(TPhaseTimes::Proxy);
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
        if (status) hop_.StatusCode = tunnelStatus_;
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
        // The handshake's next flight, or the alert of a failure. The last
        // flight of a handshake that ends on our side (a resumed session)
        // waits for the request and goes out with it, in one send (every
        // request sends its header): the request sent apart would wait for
        // the server's acknowledgement.
        const bool ended = tls_->State() != tlsFailed && tls_->HandshakeDone();
        if (!ended) FlushTls();
        if (phase_ != phHandshake) return;
        if (tls_->State() == tlsFailed) {
            TlsFailed();
            return;
        }
        if (!tls_->HandshakeDone()) return;
        tlsUp_ = true;
        const TGuard guard(*this);
        phases_.Mark(TPhaseTimes::Tls);
        ChannelReady();
        if (!guard.Alive() || !tlsUp_) return;
    }
    DeliverPlaintext(error);
}

void THttpCli::DeliverPlaintext(std::uint16_t error) {
    // Hand on everything TLS has decrypted: the socket only calls again when
    // more arrives, and bytes left inside TLS would be lost at the close.
    const TGuard guard(*this);
    while (tlsUp_ && (phase_ == phHeader || phase_ == phBody)) {
        tlsGotPlain_ = false;
        ReadReply(error);
        if (!guard.Alive()) return;
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
    hop_.StatusCode = 404;
    if (error != 0) {
        lastRequestError_ = error;
        hop_.ReasonPhrase = WithErrorNumber(SocketErrorText(error), error);
    } else if (phase_ == phTunnel) {
        lastRequestError_ = httperrTunnelRefused;
        hop_.ReasonPhrase = "Proxy closed the connection before the tunnel was open";
    } else {
        tls_->FeedEof();
        lastRequestError_ = httperrTlsFailed;
        hop_.ReasonPhrase =
            tls_->State() == tlsFailed ? tls_->ErrorText() : "TLS: unexpected eof while reading";
    }
}

}  // namespace net
