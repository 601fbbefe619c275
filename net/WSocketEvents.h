// Calling a socket's events. Shared by the files of the socket unit, one per
// level (WSocket.cpp, WSocketSocks.cpp, WSocketLine.cpp, WSocketWait.cpp);
// not part of the unit's interface.
#pragma once

#include <utility>

namespace net {

// Calls an event through a copy of the handler: a handler may free the
// socket, and with it the handler object that is running.
template <typename Fn, typename... Args>
void FireEvent(const Fn& event, Args&&... args) {
    if (!event) return;
    Fn handler = event;
    handler(std::forward<Args>(args)...);
}

}  // namespace net
