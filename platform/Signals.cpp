#include "platform/Signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/MessageLoop.h"

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};
std::function<void(int)> g_handler;

extern "C" void OnSignal(int sig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = ::write(g_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

}  // namespace

void OnTerminationSignal(std::function<void(int)> handler) {
    g_handler = std::move(handler);
    if (g_pipe[0] >= 0) return;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    WatchFd(g_pipe[0], EPOLLIN, [](std::uint32_t) {
        unsigned char b;
        while (::read(g_pipe[0], &b, 1) == 1)
            if (g_handler) g_handler(b);
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace platform
