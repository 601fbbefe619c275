// Socket readiness delivered as window messages, the way the socket layer
// expects it: a registered socket gets one message per event on the target
// it named, with wParam = the socket and lParam = the event bit in the low
// word and a socket error code in the high word.
//
// The events follow Winsock's re-enabling rules, kept here on top of epoll:
//   connect  once, with the outcome; a refused connect gives this one
//            message (10061) and nothing else;
//   write    once after connecting, then only after a send that would block
//            (or took only part of what it was given);
//   read     after data arrives, and again after each receive while data
//            remains;
//   accept   after a connection arrives, and again after each accept;
//   close    once, after the data the peer sent before closing has been
//            read (0 for an orderly close, 10054 for a reset).
// A connection made through the socket calls is put in epoll once, edge-
// triggered, for everything it may hear, and never changed: what epoll
// reports while it cannot be delivered is kept here, and the receives tell
// the rest (a receive that fills its buffer may leave more, so read comes
// again at once; one that leaves room has emptied the queue, and after the
// peer's close has read its last byte). Listening and datagram sockets, and
// sockets made elsewhere, are watched level-triggered, with read interest
// kept from one receive to the next.
// The socket calls tell this module what they did through the
// AsyncSelectNoteXxx hooks (the socket layer's procedures call them).
//
// Messages go through a target of this module first, so a message collected
// for a socket that has since been closed (and whose descriptor number may
// have been reused) is dropped. Owner: the one loop thread.
#pragma once

#include <cstdint>

#include "platform/MessageLoop.h"

namespace platform {

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

inline LPARAM MakeSelectReply(std::uint16_t event, std::uint16_t error) {
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) | event);
}
inline std::uint16_t SelectEvent(LPARAM lParam) {
    return static_cast<std::uint16_t>(lParam & 0xFFFF);
}
inline std::uint16_t SelectError(LPARAM lParam) {
    return static_cast<std::uint16_t>((lParam >> 16) & 0xFFFF);
}

// Asks for msg on wnd for the events of mask; a mask of 0 stops the
// notifications (the registration and its state stay). Asking again
// re-enables read and accept, and write on a connected socket. 0 on success,
// else a socket code.
int AsyncSelect(int fd, HWND wnd, UINT msg, long mask);

// Hooks of the socket calls.
// The socket was just made (datagram or stream), or accepted (a connected
// stream): registering it then needs no questions about what it is.
void AsyncSelectNoteCreated(int fd, bool datagram, bool connected);
void AsyncSelectNoteConnecting(int fd);  // a non-blocking connect has started
// recv/recvfrom was called, with what it got not known (a connection watched
// edge-triggered is looked at, one call).
void AsyncSelectNoteReceived(int fd);
// A receive on a stream that asked for asked bytes (at least one; 0 when
// the call did not take them from the queue, as a peek) returned result (-1
// with err on failure): 0 bytes is the peer's close and a reset or other
// failure of the connection is a close with that error, both told without
// another look at the socket. After the peer's close was seen, a receive
// that got less than it asked for has read the last byte: the close follows
// at once instead of another read.
void AsyncSelectNoteReceived(int fd, long result, int err, long asked);
// A call on the socket failed with a reset: the close that follows says so,
// even though the platform reports the reset only once.
void AsyncSelectNoteReset(int fd);
// The owner answered a read notification without a receive (its handler
// read nothing, or failed before reading): it reads again only when told
// to. The peer's close is then delivered as soon as it is heard, whether or
// not data is still queued (the owner takes what is left as it closes), as
// a close is not held back by reading left off. A receive ends this.
void AsyncSelectNoteUnread(int fd);
void AsyncSelectNoteAccepted(int fd);     // accept was called
void AsyncSelectNoteSendBlocked(int fd);  // a send would block, or took part only
void AsyncSelectNoteListening(int fd);    // listen succeeded
// The descriptor is about to be closed: forget it and drop its messages.
void AsyncSelectForget(int fd);

// Registered descriptors (for leak tests).
int AsyncSelectCount();

}  // namespace platform
