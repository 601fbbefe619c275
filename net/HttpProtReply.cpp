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

}  // namespace net
