// Helpers of the socket tests: raw peers on 127.0.0.1 that the test drives
// step by step from its own thread (no threads, no loop of their own), a
// loop runner with a watchdog, and a port nobody listens on.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/MessageLoop.h"

namespace sockettest {

using Clock = std::chrono::steady_clock;

// Runs the loop until done() holds or limitMs passes; false on a hang.
template <typename F>
bool RunUntil(F done, int limitMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        if (!platform::ProcessMessages()) platform::WaitMessage(20);
    }
    return true;
}

// Runs the loop for a while, for tests that check that nothing more comes.
inline void RunFor(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end)
        if (!platform::ProcessMessages()) platform::WaitMessage(10);
}

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

inline std::uint16_t LocalPort(int fd) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
}

// Whether this machine has the IPv6 loopback address (a test over ::1 is
// skipped with a word when it has not).
inline bool HasIPv6Loopback() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
    close(fd);
    return ok;
}

// A port on 127.0.0.1 where nothing listens: a connect there is refused.
inline std::uint16_t ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    std::uint16_t port = LocalPort(fd);
    close(fd);
    return port;
}

inline void SmallBuffers(int fd) {
    int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// A listening socket of the test; Accept waits (bounded) for a connection.
class Listener {
public:
    // small: accepted connections get small buffers (set before the
    // handshake, so the window is small from the start).
    explicit Listener(bool small = false) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (small) SmallBuffers(fd_);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sin = Loopback(0);
        bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        listen(fd_, 16);
        port_ = LocalPort(fd_);
    }
    ~Listener() { close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    int Fd() const { return fd_; }
    // A connection accepted within limitMs (the loop keeps running), or -1.
    int Accept(int limitMs = 3000) {
        int conn = -1;
        RunUntil(
            [&] {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 0) == 1) conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                return conn >= 0;
            },
            limitMs);
        return conn;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

inline void SendAll(int fd, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

// A raw client of 127.0.0.1:port (-1 when it cannot connect).
inline int Dial(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(static_cast<std::uint16_t>(port));
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
}

// What fd reads until the peer closes; "<open>" appended when ms passed
// without a byte first.
inline std::string ReadToEnd(int fd, int ms) {
    std::string got;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return got + "<open>";
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return got;
        got.append(buf, static_cast<std::size_t>(n));
    }
}

// Reads what is there now, without blocking.
inline std::string ReadAvailable(int fd) {
    std::string out;
    char buf[65536];
    while (true) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Closes with a reset instead of an orderly close.
inline void Reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

}  // namespace sockettest
