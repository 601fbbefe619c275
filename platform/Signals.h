// SIGTERM and SIGINT as messages of the loop: the signal handler only writes
// a byte to a pipe, and the loop calls the program's handler from there, on
// the one thread, where it may close windows and write the log like any
// other handler. Installed once by start-up.
#pragma once

#include <functional>

namespace platform {

// Calls handler(signal number) from the loop for every SIGTERM and SIGINT.
// A second call replaces the handler.
void OnTerminationSignal(std::function<void(int)> handler);

}  // namespace platform
