// The client's redirections: one hop ends and the next one starts.
#include "net/HttpProt.h"

#include <cstring>

#include "base/Strings.h"
#include "net/HttpLocation.h"
#include "net/HttpProtInternal.h"
#include "net/Url.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"

namespace net {

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

}  // namespace net
