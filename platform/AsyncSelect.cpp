#include "platform/AsyncSelect.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <unordered_map>

#include "platform/SocketErrors.h"

namespace platform {
namespace {

constexpr UINT kSelectMsg = WM_USER + 1;

// What one registered socket wants to hear and what it has already heard.
struct Registration {
    int fd = -1;
    std::uint32_t id = 0;  // new for every registration of a descriptor
    HWND wnd = 0;
    UINT msg = 0;
    long mask = 0;
    bool datagram = false;
    bool listening = false;
    bool established = false;  // a connected stream, or a datagram socket
    bool connecting = false;   // connect started, outcome not delivered yet
    bool failed = false;       // the connect failed: nothing more is delivered
    bool readEnabled = true;   // read/accept armed until the next receive/accept
    // epoll reported the socket again before the last read or accept message
    // was answered: its read interest goes off until the next receive.
    bool readParked = false;
    bool known = false;     // made through the socket calls: what it is needs no asking
    bool readDone = false;  // close delivered: the reading side has ended
    // epoll reported the peer's close: nothing arrives after what is queued,
    // so a receive that does not fill its buffer has read the last of it.
    bool peerClosed = false;
    bool writeArmed = false;
    bool resetSeen = false;  // a receive or send already consumed the reset
    bool watched = false;
    std::uint32_t watchedEvents = 0;
    // Registered once, edge-triggered, for everything (a connection made
    // through the socket calls): epoll reports each change once, and what
    // cannot be delivered at that moment is kept below until it can.
    bool edge = false;
    // A read report came while read was off (or was not asked for): data
    // may be queued; the next receive, or asking again, tells.
    bool readPending = false;
    bool hangup = false;  // a hang-up or error was reported: the close asks its code
    // The peer sent urgent data: a receive stops short at its mark with more
    // queued behind it, so a short receive no longer means the queue is
    // empty, and read comes again after every receive that got data.
    bool urgent = false;
    // The owner left the last read unanswered and reads no more until told:
    // the peer's close is delivered as soon as it is heard.
    bool unread = false;
};

struct Registry {
    std::unordered_map<int, Registration> byFd;
    std::unordered_map<std::uint32_t, int> fdOfId;
    HWND target = 0;
    std::uint32_t lastId = 0;
};

Registry& R() {
    static Registry* registry = new Registry();  // lives as long as the loop
    return *registry;
}

void OnReady(int fd, std::uint32_t id, std::uint32_t events);

// Forwards a collected event to the socket's own target, unless the socket
// has been closed (or asked for nothing) since it was collected.
LRESULT TargetProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kSelectMsg) return 0;
    auto idIt = R().fdOfId.find(static_cast<std::uint32_t>(wParam));
    if (idIt == R().fdOfId.end()) return 0;
    int fd = idIt->second;
    const Registration& reg = R().byFd.at(fd);
    if (reg.mask == 0) return 0;
    HWND wnd = reg.wnd;
    UINT userMsg = reg.msg;
    return SendMessage(wnd, userMsg, static_cast<WPARAM>(fd), lParam);
}

void Post(const Registration& reg, long event, int error) {
    if ((reg.mask & event) == 0) return;
    PostMessage(R().target, kSelectMsg, reg.id,
                MakeSelectReply(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)));
}

// Brings the epoll interest in line with what the socket may hear next.
// With nothing wanted the descriptor leaves epoll altogether: epoll reports
// errors and hang-ups even without interest, and a level-triggered report
// nobody consumes would spin the loop.
void Update(Registration& reg) {
    if (reg.edge) return;  // never changed: closing the descriptor removes it
    if (!reg.watched && reg.known && reg.connecting && reg.mask != 0 && !reg.datagram && !reg.listening) {
        int fd = reg.fd;
        std::uint32_t id = reg.id;
        constexpr std::uint32_t kAll = EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        reg.watched = WatchFd(fd, kAll, [fd, id](std::uint32_t events) { OnReady(fd, id, events); });
        reg.edge = reg.watched;
        reg.watchedEvents = reg.watched ? kAll : 0;
        if (reg.watched) return;
    }
    std::uint32_t want = 0;
    if (reg.mask != 0 && !reg.failed) {
        if (reg.connecting) {
            want = EPOLLOUT;
        } else if (reg.established || reg.listening) {
            // A stream that is neither connected nor listening reports a
            // hang-up; it has nothing to tell until it connects.
            // Read interest stays on from one receive to the next; the loop
            // changes epoll only if the socket is reported again unanswered.
            if (!reg.readParked && !reg.readDone && (reg.mask & (FD_READ | FD_ACCEPT | FD_CLOSE))) {
                want |= EPOLLIN;
                // The peer's close is reported apart from its data.
                if (!reg.listening && !reg.datagram) want |= EPOLLRDHUP;
            }
            // A reader that stopped still hears the peer's close.
            if (reg.unread && !reg.readDone && !reg.listening && !reg.datagram && (reg.mask & FD_CLOSE))
                want |= EPOLLRDHUP;
            if (reg.writeArmed && (reg.mask & FD_WRITE)) want |= EPOLLOUT;
        }
    }
    if (want == 0) {
        if (reg.watched) UnwatchFd(reg.fd);
        reg.watched = false;
        reg.watchedEvents = 0;
        return;
    }
    if (!reg.watched) {
        int fd = reg.fd;
        std::uint32_t id = reg.id;
        reg.watched = WatchFd(fd, want, [fd, id](std::uint32_t events) { OnReady(fd, id, events); });
        reg.watchedEvents = reg.watched ? want : 0;
    } else if (want != reg.watchedEvents) {
        ModifyFd(reg.fd, want);
        reg.watchedEvents = want;
    }
}

int PendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

void ConnectDone(Registration& reg, std::uint32_t events) {
    // The outcome is in SO_ERROR: a refused connect raises in, out, error and
    // hang-up together and must still give one connect message only. A
    // socket that is only writable has connected.
    int err = (events & (EPOLLERR | EPOLLHUP)) || (events & EPOLLOUT) == 0 ? PendingError(reg.fd) : 0;
    if (err == 0 && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
    reg.connecting = false;
    if (err != 0) {
        reg.failed = true;
        Post(reg, FD_CONNECT, SocketErrorFromErrno(err));
        return;
    }
    reg.established = true;
    Post(reg, FD_CONNECT, 0);
    Post(reg, FD_WRITE, 0);
    reg.writeArmed = false;
    reg.readEnabled = true;
}

void Readable(Registration& reg, std::uint32_t events) {
    if (reg.listening) {
        reg.readEnabled = false;
        Post(reg, FD_ACCEPT, 0);
        return;
    }
    if (reg.datagram) {
        int code = (events & EPOLLERR) ? SocketErrorFromErrno(PendingError(reg.fd)) : 0;
        reg.readEnabled = false;
        Post(reg, FD_READ, code);
        return;
    }
    // Data, the peer's close, or both: the receive that follows tells which
    // (AsyncSelectNoteReceived), so telling them apart here costs no call.
    // After the close, a receive that leaves room in its buffer has read
    // everything and brings the close at once.
    if ((events & (EPOLLHUP | EPOLLERR)) == 0 && (reg.mask & FD_READ)) {
        if (events & EPOLLRDHUP) reg.peerClosed = true;
        reg.readEnabled = false;
        Post(reg, FD_READ, 0);
        return;
    }
    // A reset or hang-up (whose error the receive may not report again), or
    // a close nobody will read for: a peek tells whether data still comes
    // first, so close comes only once the data is read.
    char c;
    ssize_t n = recv(reg.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        reg.readEnabled = false;
        Post(reg, FD_READ, 0);
        return;
    }
    int err = 0;
    if (n < 0) {
        err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            if ((events & (EPOLLERR | EPOLLHUP)) == 0) return;
            err = PendingError(reg.fd);
        }
    }
    if (err == 0 && reg.resetSeen) err = ECONNRESET;
    reg.readDone = true;
    reg.readEnabled = false;
    Post(reg, FD_CLOSE, SocketErrorFromErrno(err));
}

constexpr std::uint32_t kReadable = EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP;
constexpr std::uint32_t kPeerEnded = EPOLLRDHUP | EPOLLERR | EPOLLHUP;

// The peer's close, heard while the owner reads no more: delivered at once,
// with the reset's code if it was one.
void CloseUnread(Registration& reg, bool hungUp) {
    int err = (reg.hangup || hungUp) ? PendingError(reg.fd) : 0;
    if (err == 0 && reg.resetSeen) err = ECONNRESET;
    reg.readDone = true;  // nothing else of the reading side counts from now on
    Post(reg, FD_CLOSE, SocketErrorFromErrno(err));
}

// What an edge-triggered socket heard. Each change is reported once: what
// cannot be delivered now is kept in the registration and acted on at the
// next receive, or when the socket is asked for again.
void OnEdge(Registration& reg, std::uint32_t events) {
    // Nothing wanted: asking again looks at the socket afresh.
    if (reg.failed || reg.mask == 0) return;
    if (reg.connecting) {
        ConnectDone(reg, events);
        // The reply may come with the connect's own report.
        if (reg.connecting || reg.failed) return;
    }
    if (!reg.established) return;
    if (events & EPOLLPRI) reg.urgent = true;
    if (events & EPOLLRDHUP) reg.peerClosed = true;
    if (events & (EPOLLERR | EPOLLHUP)) {
        reg.peerClosed = true;
        reg.hangup = true;
    }
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && reg.writeArmed) {
        reg.writeArmed = false;
        Post(reg, FD_WRITE, 0);
    }
    if ((events & kReadable) == 0 || reg.readDone) return;
    if (reg.readEnabled && (reg.mask & (FD_READ | FD_CLOSE)))
        Readable(reg, events);
    else if (reg.unread && (events & kPeerEnded))
        CloseUnread(reg, events & (EPOLLERR | EPOLLHUP));
    else
        reg.readPending = true;
}

// Looks at an edge-triggered socket as it is now and acts as on a report of
// it: for the rare moments its state is not known (asked for again after a
// pause, or a receive that did not tell what it got).
void Resync(Registration& reg) {
    pollfd p{reg.fd, POLLIN | POLLPRI | POLLOUT | POLLRDHUP, 0};
    if (poll(&p, 1, 0) != 1) return;
    std::uint32_t events = 0;
    if (p.revents & POLLIN) events |= EPOLLIN;
    if (p.revents & POLLPRI) events |= EPOLLPRI;
    if (p.revents & POLLOUT) events |= EPOLLOUT;
    if (p.revents & POLLRDHUP) events |= EPOLLRDHUP;
    if (p.revents & POLLERR) events |= EPOLLERR;
    if (p.revents & POLLHUP) events |= EPOLLHUP;
    OnEdge(reg, events);
}

// Read comes again: at once for an edge-triggered socket (no report comes
// for data already queued).
void ReadAgain(Registration& reg) {
    reg.readPending = false;
    if ((reg.mask & FD_READ) == 0) {
        reg.readPending = true;
        reg.readEnabled = true;
        return;
    }
    reg.readEnabled = false;
    Post(reg, FD_READ, 0);
}

// A receive on an edge-triggered stream that neither ended it nor read its
// last byte.
void EdgeReceived(Registration& reg, long result, int err, long asked) {
    if (result > 0 && (result >= asked || reg.urgent)) {
        // The buffer was filled (or the look took nothing), or the receive
        // may have stopped at an urgent mark: more may wait.
        ReadAgain(reg);
        return;
    }
    reg.readEnabled = true;
    // Less than asked, or nothing at all: the queue was empty then, and a
    // report comes with whatever arrives next. A report kept from before
    // the receive has been answered by it.
    if (result > 0 || err == EAGAIN || err == EWOULDBLOCK) {
        reg.readPending = false;
        return;
    }
    if (reg.readPending) Resync(reg);
}

void OnReady(int fd, std::uint32_t id, std::uint32_t events) {
    auto it = R().byFd.find(fd);
    if (it == R().byFd.end() || it->second.id != id) return;
    Registration& reg = it->second;
    if (reg.edge) {
        OnEdge(reg, events);
        return;
    }
    if (reg.connecting) {
        ConnectDone(reg, events);
    } else {
        if ((events & kReadable) && !reg.readEnabled && !reg.readDone) {
            if (reg.unread && (events & kPeerEnded))
                CloseUnread(reg, events & (EPOLLERR | EPOLLHUP));
            else
                reg.readParked = true;
        }
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && reg.writeArmed) {
            reg.writeArmed = false;
            Post(reg, FD_WRITE, 0);
        }
        if ((events & kReadable) && reg.readEnabled && !reg.readDone) Readable(reg, events);
    }
    Update(reg);
}

Registration* Find(int fd) {
    auto it = R().byFd.find(fd);
    return it == R().byFd.end() ? nullptr : &it->second;
}

bool IsConnected(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
}

// Failures of a receive after which the connection carries nothing more.
bool EndsConnection(int err) {
    switch (err) {
        case ECONNRESET:
        case ECONNABORTED:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ENETDOWN:
        case ENETRESET:
        case EPIPE: return true;
        default: return false;
    }
}

Registration& Register(int fd) {
    Registry& r = R();
    Registration fresh;
    fresh.fd = fd;
    fresh.id = ++r.lastId;
    if (fresh.id == 0) fresh.id = ++r.lastId;
    r.fdOfId[fresh.id] = fd;
    return r.byFd.emplace(fd, fresh).first->second;
}

}  // namespace

int AsyncSelect(int fd, HWND wnd, UINT msg, long mask) {
    if (fd < 0) return WSAENOTSOCK;
    Registration* reg = Find(fd);
    int type = 0;
    if (reg == nullptr || !reg->known) {
        socklen_t len = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return SocketErrorFromErrno(errno);
    }
    if (mask != 0 && !IsWindow(wnd)) return WSAEINVAL;
    Registry& r = R();
    if (r.target == 0) r.target = AllocateHWnd(TargetProc);
    if (reg == nullptr) reg = &Register(fd);
    reg->wnd = wnd;
    reg->msg = msg;
    reg->mask = mask;
    if (!reg->known) {
        reg->datagram = type == SOCK_DGRAM;
        int acc = 0;
        socklen_t len = sizeof acc;
        reg->listening = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &acc, &len) == 0 && acc != 0;
        if (!reg->connecting && !reg->listening && (reg->datagram || IsConnected(fd)))
            reg->established = true;
    } else if (reg->datagram) {
        reg->established = true;
    }
    if (mask != 0) {
        reg->readEnabled = true;
        reg->readParked = false;
        reg->unread = false;
        // Asking again announces a socket that can already send, as a fresh
        // connection does.
        if (!reg->failed && reg->established && (mask & FD_WRITE)) reg->writeArmed = true;
    }
    bool watchedBefore = reg->watched;
    Update(*reg);
    // An edge-triggered socket reports nothing it has reported before: what
    // it holds now is looked at once.
    if (reg->edge && watchedBefore && mask != 0) {
        reg->readPending = false;
        Resync(*reg);
    }
    return 0;
}

void AsyncSelectNoteConnecting(int fd) {
    if (Registration* reg = Find(fd)) {
        reg->connecting = true;
        reg->failed = false;
        reg->readDone = false;
        reg->peerClosed = false;
        reg->hangup = false;
        reg->urgent = false;
        reg->readPending = false;
        reg->resetSeen = false;
        reg->writeArmed = false;
        reg->unread = false;
        Update(*reg);
    }
}

void AsyncSelectNoteCreated(int fd, bool datagram, bool connected) {
    if (Find(fd) != nullptr) AsyncSelectForget(fd);  // closed behind the socket calls' back
    Registration& reg = Register(fd);
    reg.known = true;
    reg.datagram = datagram;
    reg.established = connected || datagram;
}

void AsyncSelectNoteReceived(int fd) {
    Registration* reg = Find(fd);
    if (reg) reg->unread = false;
    if (reg && reg->edge) {
        // What the receive got is not known: the socket is looked at.
        reg->readEnabled = true;
        if (reg->established && !reg->readDone) {
            reg->readPending = false;
            Resync(*reg);
        }
        return;
    }
    if (reg && !reg->listening && (!reg->readEnabled || reg->readParked)) {
        reg->readEnabled = true;
        reg->readParked = false;
        Update(*reg);
    }
}

void AsyncSelectNoteReceived(int fd, long result, int err, long asked) {
    Registration* reg = Find(fd);
    if (reg == nullptr) return;
    reg->unread = false;
    bool ended = result == 0 || (result < 0 && EndsConnection(err));
    // After the peer's close nothing more arrives: a receive that got less
    // than it asked for has emptied the queue, and the close is all that is
    // left to tell.
    // A connection watched edge-triggered knows when urgent data came (a
    // receive stops at its mark) and reads on. One watched level-triggered
    // (an accepted one) is not told: a client's urgent data ends the
    // request it sends there, which is then read as cut short.
    bool drained = reg->peerClosed && !reg->urgent && result > 0 && result < asked;
    if (reg->listening || reg->datagram || !reg->established || reg->connecting || reg->readDone) {
        AsyncSelectNoteReceived(fd);
        return;
    }
    if (!(ended || drained)) {
        if (reg->edge)
            EdgeReceived(*reg, result, err, asked);
        else
            AsyncSelectNoteReceived(fd);
        return;
    }
    // After a hang-up the close carries its error (a reset), which the
    // receive of the last data did not report.
    if (drained) err = reg->hangup ? PendingError(fd) : 0;
    if (result >= 0 && reg->resetSeen) err = ECONNRESET;
    reg->readDone = true;
    reg->readEnabled = false;
    reg->readParked = false;
    Post(*reg, FD_CLOSE, SocketErrorFromErrno(err));
    Update(*reg);
}

void AsyncSelectNoteUnread(int fd) {
    Registration* reg = Find(fd);
    if (reg == nullptr || reg->listening || reg->datagram || !reg->established || reg->connecting ||
        reg->readDone || reg->readEnabled)
        return;
    reg->unread = true;
    // The close may have been heard already (edge-triggered, it is not
    // reported again): the socket is looked at once.
    pollfd p{reg->fd, POLLRDHUP, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
        CloseUnread(*reg, p.revents & (POLLERR | POLLHUP));
    Update(*reg);
}

void AsyncSelectNoteReset(int fd) {
    if (Registration* reg = Find(fd)) reg->resetSeen = true;
}

void AsyncSelectNoteAccepted(int fd) {
    Registration* reg = Find(fd);
    if (reg && (!reg->readEnabled || reg->readParked)) {
        reg->readEnabled = true;
        reg->readParked = false;
        Update(*reg);
    }
}

void AsyncSelectNoteSendBlocked(int fd) {
    if (Registration* reg = Find(fd)) {
        reg->writeArmed = true;
        Update(*reg);
    }
}

void AsyncSelectNoteListening(int fd) {
    if (Registration* reg = Find(fd)) {
        reg->listening = true;
        Update(*reg);
    }
}

void AsyncSelectForget(int fd) {
    Registry& r = R();
    auto it = r.byFd.find(fd);
    if (it == r.byFd.end()) return;
    // Also drops a change of its watch the loop has not made yet.
    ForgetFd(fd);
    r.fdOfId.erase(it->second.id);
    r.byFd.erase(it);
    if (r.byFd.empty() && r.target != 0) {
        DeallocateHWnd(r.target);
        r.target = 0;
    }
}

int AsyncSelectCount() {
    return static_cast<int>(R().byFd.size());
}

}  // namespace platform
