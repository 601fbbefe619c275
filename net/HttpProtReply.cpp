// The client's reply: reading the header, line by line, and the end of the
// connection.
#include "net/HttpProt.h"

#include <cstring>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/HttpProtInternal.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"

namespace net {

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
    phases_.MarkFirstByte();
    lineBuffer_.Commit(n);
    if (phase_ == phHeader) hop_.HeaderBytes += n;

    // A handler may change the phase or empty the buffer: both are read anew
    // for every line. It may also free the client.
    const TGuard guard(*this);
    std::string_view line;
    while (lineBuffer_.Length() > 0 && lineBuffer_.NextLine(line)) {
        currentLine_ = line;
        if (phase_ == phHeader)
            HeaderLineHandler();
        else if (phase_ == phBody)
            BodyHandler();
        else
            Fire(OnStrayLine, this, error);
        if (!guard.Alive()) return;
    }
    if (phase_ != phHeader && phase_ != phBody) return;
    // An error reply ends the connection once this read is handled: the
    // lines that came with the status line (and any body bytes behind them)
    // are still taken.
    if (hop_.StatusCode >= 400) {
        FinishReply();
        return;
    }
    if (phase_ != phHeader) return;
    if (lineBuffer_.ZeroInLine()) {
        FailRequest("Invalid HTTP header", httperrInvalidHeader, 0);
    } else if (hop_.LineCount == 0 && !CanStartReply(lineBuffer_.Bytes(), false)) {
        FailRequest("Invalid HTTP reply", httperrInvalidReply, 0);
    } else if (hop_.HeaderBytes > MaxHeaderSection) {
        // Endless short lines would hold memory without bound.
        FailRequest("HTTP header too large", httperrHeaderTooLarge, 0);
    } else if (lineBuffer_.Free() <= 0) {
        // A header line that fills the whole buffer can never end: the
        // request ends now instead of waiting for a server that keeps sending.
        LineTooLong();
    }
}

void THttpCli::SessionClosed(std::uint16_t error) {
    // The connection ended (the peer closed it, or we did), or none was ever
    // made (a failed lookup or connect).
    if (phase_ == phIdle || phase_ == phEnded) return;
    // The server ended the TLS stream with its close_notify, so everything
    // it sent has come: a reset after it answers our own close_notify,
    // which reached a socket the server had already closed. Before it, a
    // reset cuts the reply short.
    if (error != 0 && tlsUp_ && tls_ && tls_->PeerClosedCleanly()) error = 0;
    if (error != 0 && (phase_ == phHeader || phase_ == phBody)) {
        // A reset before the reply is complete: what arrived is not the reply.
        lineBuffer_.Clear();
        SetFailure(WithErrorNumber(SocketErrorText(error), error), error, 0);
        EndRequest();
        return;
    }
    const TGuard guard(*this);
    DeliverUnfinishedLine();
    // (Storing it failed, and that failure ended the request, or a handler
    // freed the client.)
    if (!guard.Alive() || phase_ == phEnded) return;
    if (phase_ == phHeader && hop_.LineCount == 0) {
        // Not one line of a reply: nothing came at all (or only interim
        // replies), or bytes that are no HTTP.
        if (lineBuffer_.Length() == 0)
            SetFailure("Empty reply from server", httperrEmptyReply, 0);
        else
            SetFailure("Invalid HTTP reply", httperrInvalidReply, 0);
    } else if (phase_ == phHeader) {
        // A status line came, but the header never reached its empty line.
        SetFailure("transfer closed", httperrTransferClosed, 0);
    } else if (phase_ == phBody && hop_.BodyLeft > 0) {
        SetFailure("transfer closed with " + std::to_string(hop_.BodyLeft) + " bytes remaining",
                   httperrTransferClosed, 0);
    }
    lineBuffer_.Clear();
    // A connection that ends before its tunnel or handshake is done fails.
    if (phase_ == phTunnel || phase_ == phHandshake) ChannelLost(error);
    EndRequest();
}

void THttpCli::EndRequest() {
    phases_.End(target_.EffectiveUrl, lastRequestError_ == 0 ? hop_.StatusCode : 0);
    phase_ = phEnded;
    tlsUp_ = false;
    if (tls_) tls_->Reset();
    platform::StopTimer(window_, kTimeoutTimer);
    connected_ = false;
    PostMsg(MsgSetIdle);
    if (hop_.BodyChunkCount > 0) NotifyDocEnd();
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
    THeaderLine h = ParseHeaderLine(currentLine_);
    if (hop_.LineCount == 0) {
        // A reply starts with a valid status line ("HTTP/2 503", "HTTP/1.1
        // 000" or a bare "HTTP" are none), or is a document sent without a
        // header.
        if (h.Kind != THeaderLineKind::hlHtml && !(h.Kind == THeaderLineKind::hlStatus && h.StatusCode)) {
            FailRequest("Invalid HTTP reply", httperrInvalidReply, 0);
            return;
        }
        const TGuard guard(*this);
        NotifyHeaderBegin();
        if (!guard.Alive() || state_ != hsReceivingHeader) return;
    } else if (h.Kind == THeaderLineKind::hlStatus) {
        // A second status line inside one header: which one would count?
        FailRequest("Invalid HTTP header", httperrInvalidHeader, 0);
        return;
    }
    ++hop_.LineCount;
    switch (h.Kind) {
        case THeaderLineKind::hlHtml: {
            // A document sent with no header at all.
            if (hop_.ContentType.empty()) hop_.ContentType = "text/html";
            phase_ = phBody;
            if (!EnterState(hsReceivingBody)) return;
            const TGuard guard(*this);
            NotifyHeaderEnd();
            if (!guard.Alive() || state_ != hsReceivingBody) return;
            BodyHandler();
            return;
        }
        case THeaderLineKind::hlEmpty: HeaderEnded(); return;
        default: break;
    }

    responseHeaderLines_.emplace_back(currentLine_);
    if (h.Kind == THeaderLineKind::hlStatus) {
        hop_.StatusCode = *h.StatusCode;  // the first line, checked above
        hop_.ReasonPhrase = h.ReasonPhrase;
    } else if (h.Kind == THeaderLineKind::hlField) {
        const std::string& name = h.Name;
        if (name == "location") {
            if (!base::Trim(h.Value).empty()) hop_.Location = h.Value;
        } else if (name == "content-length") {
            // A length that is no number, or two that differ, leaves the
            // body's end unknown: reading up to the close could take a cut
            // body for a whole one.
            const auto v = ContentLengthValue(h.Value);
            if (!v || (hop_.ContentLength >= 0 && hop_.ContentLength != *v)) {
                FailRequest("Invalid HTTP header", httperrInvalidHeader, 0);
                return;
            }
            hop_.ContentLength = *v;
        } else if (name == "content-range") {
            ParseContentRange(h.Value, hop_.RangeBegin, hop_.RangeEnd);
            hop_.HasRange = true;
        } else if (name == "accept-ranges") {
            hop_.AcceptRanges = h.Value;
        } else if (name == "content-type") {
            hop_.ContentType = base::LowerCase(h.Value);
        } else if (name == "www-authenticate") {
            authenticateChallenges_.emplace_back(h.Value);
        } else if (name == "set-cookie") {
            bool accept = true;
            const TGuard guard(*this);
            NotifyCookie(std::string(h.Value), accept);
            if (!guard.Alive()) return;
        }
    }
    Fire(OnHeaderData, this);
}

void THttpCli::HeaderEnded() {
    if (hop_.StatusCode >= 100 && hop_.StatusCode < 200) {
        // An interim reply ("100 Continue"): the real one follows on the
        // same connection, and its status line starts a reply anew.
        // Only the bound on the header section counts on.
        const std::int64_t headerBytes = hop_.HeaderBytes;
        hop_ = THttpHop{};
        hop_.HeaderBytes = headerBytes;
        return;
    }
    // An error reply is not followed: its connection ends with this read.
    if (!hop_.Location.empty() && hop_.StatusCode < 400) {
        const TLocationResult moved = FollowLocation(hop_.Location, !Proxy.empty(), target_);
        hop_.Location.clear();
        if (moved == TLocationResult::lrInvalid) {
            // Control characters would end or split the next request line.
            FailRequest("Invalid redirection", httperrInvalidRedirection, 0);
            return;
        }
        if (moved == TLocationResult::lrUnsupported) {
            FailRequest("Unsupported protocol", httperrUnsupportedProtocol, 0);
            return;
        }
        Redirect();
        return;
    }
    int dot = LastPos(".", documentName_);
    if (dot > 0 && base::LowerCase(documentName_.substr(static_cast<std::size_t>(dot - 1))) == ".exe" &&
        hop_.ContentType == "text/html")
        documentName_ = ReplaceExtension(documentName_, "htm");
    // The final reply's range is what the next request asks for.
    if (hop_.HasRange) {
        ContentRangeBegin = hop_.RangeBegin;
        ContentRangeEnd = hop_.RangeEnd;
    }
    // Content-Length bytes end the body; a HEAD reply and the statuses that
    // carry none have no body whatever they announce.
    if (requestKind_ == rqHead || hop_.StatusCode == 204 || hop_.StatusCode == 304)
        hop_.BodyLeft = 0;
    else
        hop_.BodyLeft = hop_.ContentLength;
    phase_ = phBody;
    if (!EnterState(hsReceivingBody)) return;
    const TGuard guard(*this);
    NotifyHeaderEnd();
    if (!guard.Alive() || state_ != hsReceivingBody) return;
    if (hop_.BodyLeft == 0) {
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

}  // namespace net
