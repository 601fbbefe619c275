// The line level of the socket: received data delivered a line at a time.
#include "net/WSocket.h"

#include <algorithm>
#include <cstring>

#include "net/WSocketEvents.h"
#include "platform/SocketErrors.h"

namespace net {

using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

TCustomLineWSocket::TCustomLineWSocket(base::TObject* AOwner) : TCustomSocksWSocket(AOwner) {}

TCustomLineWSocket::~TCustomLineWSocket() = default;

int TCustomLineWSocket::RcvdCount() {
    if (lineMode_) return curLineLength_;
    if (LineBufCount() > 0) return LineBufCount();
    return TCustomSocksWSocket::RcvdCount();
}

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == lineMode_) return;
    lineMode_ = Value;
    if (LineBufCount() > 0 || curLineLength_ > 0)
        platform::PostMessage(window_, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

LRESULT TCustomLineWSocket::DispatchNotification(UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (Msg != WM_TRIGGER_DATA_AVAILABLE)
        return TCustomSocksWSocket::DispatchNotification(Msg, WParam, LParam);
    CallOutGuard guard(*this);
    try {
        RescanHeld();
    } catch (const std::exception& e) {
        if (guard.Alive()) HandleBgException(e);
    }
    return 0;
}

void TCustomLineWSocket::RescanHeld() {
    CallOutGuard guard(*this);
    curLineLength_ = 0;
    if (lineMode_ && !LineEnd.empty()) {
        // Held bytes read in the other mode may hold complete lines already.
        DeliverLines(0);
        return;
    }
    // Outside line mode the handler reads the held bytes first; the loop
    // ends when it stops taking them.
    while (guard.Alive() && LineBufCount() > 0) {
        int before = LineBufCount();
        if (!TCustomSocksWSocket::TriggerDataAvailable(0) || !guard.Alive() || LineBufCount() == before)
            break;
    }
}

void TCustomLineWSocket::ConsumeHeld(std::size_t n) {
    lineStart_ += n;
    if (lineStart_ >= lineBuf_.size()) {
        lineBuf_.clear();
        lineStart_ = 0;
    }
}

void TCustomLineWSocket::CompactHeld(bool Full) {
    if (lineStart_ == 0) return;
    if (!Full && lineStart_ < lineBuf_.size() - lineStart_) return;
    lineBuf_.erase(0, lineStart_);
    lineStart_ = 0;
}

void TCustomLineWSocket::ReleaseHeld() {
    lineBuf_.clear();
    lineBuf_.shrink_to_fit();
    lineStart_ = 0;
    curLineLength_ = 0;
}

int TCustomLineWSocket::RawReceive(void* Buffer, int BufferSize) {
    if (lineMode_ && curLineLength_ > 0) {
        int n = std::min(BufferSize, curLineLength_);
        if (n <= 0) return 0;
        std::memcpy(Buffer, lineBuf_.data() + lineStart_, static_cast<std::size_t>(n));
        ConsumeHeld(static_cast<std::size_t>(n));
        curLineLength_ -= n;
        ++receiveCalls_;
        return n;
    }
    if (!lineMode_ && LineBufCount() > 0) {
        int n = std::min(BufferSize, LineBufCount());
        if (n <= 0) return 0;
        std::memcpy(Buffer, lineBuf_.data() + lineStart_, static_cast<std::size_t>(n));
        ConsumeHeld(static_cast<std::size_t>(n));
        curLineLength_ = std::max(0, curLineLength_ - n);
        ++receiveCalls_;
        return n;
    }
    return TCustomSocksWSocket::RawReceive(Buffer, BufferSize);
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t Error) {
    // The proxy's replies are the SOCKS level's, whatever the mode.
    if (!lineMode_ || LineEnd.empty() || socksPhase_ != TSocksPhase::Idle)
        return TCustomSocksWSocket::TriggerDataAvailable(Error);
    CallOutGuard guard(*this);
    int n = TCustomSocksWSocket::RcvdCount();
    if (n <= 0) return true;
    // Editing works on the held bytes at the front of the buffer.
    CompactHeld(LineEdit);
    const std::size_t heldBefore = static_cast<std::size_t>(LineBufCount());
    const std::size_t end = lineBuf_.size();
    lineBuf_.resize(end + static_cast<std::size_t>(n));
    int got = TCustomSocksWSocket::RawReceive(lineBuf_.data() + end, n);
    if (got < 0) lastError_ = WSocket_WSAGetLastError();
    if (got <= 0) {
        lineBuf_.resize(end);
        return true;
    }
    readCount_ += got;
    lineBuf_.resize(end + static_cast<std::size_t>(got));
    int held = static_cast<int>(heldBefore);
    int count = got;
    if (LineEdit) {
        EditLine(held, count);
    } else if (LineEcho) {
        Send(lineBuf_.data() + end, got);
    }
    if (!guard.Alive()) return true;
    // A line end split across two reads is found: the search starts that
    // far before the new bytes.
    int start = std::max(0, held - static_cast<int>(LineEnd.size()));
    return DeliverLines(static_cast<std::size_t>(start));
}

bool TCustomLineWSocket::DeliverLines(std::size_t Start) {
    CallOutGuard guard(*this);
    while (lineMode_ && !LineEnd.empty()) {
        std::size_t pos = lineBuf_.find(LineEnd, lineStart_ + Start);
        if (pos == std::string::npos) {
            // No line end in what is held: a line that can no longer end
            // within the limit is not kept.
            if (LineLimit > 0 && LineBufCount() >= LineLimit) LineTooLong();
            break;
        }
        std::size_t length = pos - lineStart_ + LineEnd.size();
        if (OverLimit(length)) {
            LineTooLong();
            break;
        }
        curLineLength_ = static_cast<int>(length);
        while (lineMode_ && curLineLength_ > 0) {
            int before = curLineLength_;
            bool handled = TCustomSocksWSocket::TriggerDataAvailable(0);
            if (!guard.Alive()) return true;
            if (!handled || (curLineLength_ == before && lineMode_)) {
                // Nobody reads lines, or the handler left its line unread
                // (it would be offered it for ever): the line is dropped.
                ConsumeHeld(static_cast<std::size_t>(curLineLength_));
                curLineLength_ = 0;
            }
        }
        // Unread bytes of the line (line mode switched off in the handler)
        // stay at the front, with the bytes that followed the line behind
        // them; the search goes on right behind the line just delivered.
        Start = 0;
    }
    if (guard.Alive()) CompactHeld(false);
    return true;
}

void TCustomLineWSocket::LineTooLong() {
    ReleaseHeld();
    const ESocketException error("Line too long: no line end within " + std::to_string(LineLimit) + " bytes");
    CallOutGuard guard(*this);
    // OnError learns of it while the connection is still there; without
    // one the report goes to OnBgException once the connection is closed.
    lastError_ = platform::WSAEMSGSIZE;
    if (OnError) TriggerError();
    if (guard.SameHandle() && state_ != wsClosed) DoClose(true, platform::WSAEMSGSIZE);
    if (!guard.Alive() || OnError) return;
    bool canClose = true;  // closed already, whatever the handler says
    FireEvent(OnBgException, this, error, canClose);
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t Error) {
    CallOutGuard guard(*this);
    if (lineMode_ && LineBufCount() > 0) {
        // What is held is delivered as one last line, without a line end.
        curLineLength_ = LineBufCount();
        while (lineMode_ && curLineLength_ > 0) {
            int before = curLineLength_;
            if (!TCustomSocksWSocket::TriggerDataAvailable(0) || !guard.Alive() || curLineLength_ == before)
                break;
        }
        if (!guard.Alive()) return;
    }
    ReleaseHeld();
    TCustomSocksWSocket::TriggerSessionClosed(Error);
}

void TCustomLineWSocket::EditLine(int& Held, int& Count) {
    const std::size_t end = static_cast<std::size_t>(Held + Count);
    std::size_t w = static_cast<std::size_t>(Held);
    std::size_t lowest = w;
    bool edited = false;
    std::string out;  // the edited bytes, made at the first backspace or tab
    auto startEdit = [&] {
        if (edited) return;
        edited = true;
        out.assign(lineBuf_, 0, w);
    };
    for (std::size_t r = static_cast<std::size_t>(Held); r < end; ++r) {
        char c = lineBuf_[r];
        if (c == '\b') {
            startEdit();
            if (LineEcho && w > 0) SendText("\b \b");
            if (w > 0) {
                --w;
                out.resize(w);
                lowest = std::min(lowest, w);
            }
        } else if (c == '\t') {
            startEdit();
            do {
                out += ' ';
                if (LineEcho) SendText(" ");
                ++w;
            } while (w % 8 != 0);
        } else {
            if (LineEcho) Send(&c, 1);
            if (edited) out += c;
            ++w;
        }
    }
    if (!edited) return;
    lineBuf_ = std::move(out);
    Held = static_cast<int>(lowest);
    Count = static_cast<int>(w - lowest);
}

}  // namespace net
