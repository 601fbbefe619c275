#include "support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace testsupport {

TPeerStep ReadRequest() {
    return {TPeerStep::ReadRequest, {}, 0};
}
TPeerStep SendBytes(std::string data) {
    return {TPeerStep::Send, std::move(data), 0};
}
TPeerStep SendRepeated(std::string data, std::int64_t times) {
    return {TPeerStep::Send, std::move(data), 0, times};
}
TPeerStep PauseMs(int ms) {
    return {TPeerStep::Pause, {}, ms};
}
TPeerStep CloseConn() {
    return {TPeerStep::Close, {}, 0};
}
TPeerStep ResetConn() {
    return {TPeerStep::Reset, {}, 0};
}
TPeerStep WaitForClose(int ms) {
    return {TPeerStep::WaitForClose, {}, ms};
}
TPeerScript Answer(std::string reply) {
    return {ReadRequest(), SendBytes(std::move(reply)), CloseConn()};
}

namespace {

int ListenOnLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) std::abort();
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    if (::listen(fd, 16) != 0) std::abort();
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Waits up to ms for fd to be readable; false on time-out.
bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

}  // namespace

int UnusedPort() {
    int port = 0;
    int fd = ListenOnLoopback(port);
    ::close(fd);
    return port;
}

TScriptedPeer::TScriptedPeer(std::vector<TPeerScript> scripts) : scripts_(std::move(scripts)) {
    listenFd_ = ListenOnLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

TScriptedPeer::~TScriptedPeer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::string TScriptedPeer::HostPort() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> TScriptedPeer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool TScriptedPeer::Sleep(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stop_) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
    }
    return !stop_;
}

void TScriptedPeer::Run() {
    while (!stop_) {
        if (!Readable(listenFd_, 20)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int n = connections_++;
        const TPeerScript& script =
            scripts_.empty() ? TPeerScript{} : scripts_[std::min<std::size_t>(n, scripts_.size() - 1)];
        Play(fd, script);
    }
}

void TScriptedPeer::Play(int fd, const TPeerScript& script) {
    bool open = true;
    for (const TPeerStep& step : script) {
        if (stop_ || !open) break;
        switch (step.What) {
            case TPeerStep::ReadRequest: {
                std::string req;
                std::size_t bodyWanted = 0;
                std::size_t headerEnd = std::string::npos;
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (!stop_ && std::chrono::steady_clock::now() < deadline) {
                    if (headerEnd != std::string::npos && req.size() >= headerEnd + bodyWanted) break;
                    if (!Readable(fd, 20)) continue;
                    char buf[4096];
                    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
                    if (r <= 0) break;
                    req.append(buf, static_cast<std::size_t>(r));
                    if (headerEnd == std::string::npos) {
                        std::size_t e = req.find("\r\n\r\n");
                        if (e != std::string::npos) {
                            headerEnd = e + 4;
                            std::size_t cl = req.find("Content-Length: ");
                            if (cl != std::string::npos && cl < headerEnd)
                                bodyWanted = std::strtoul(req.c_str() + cl + 16, nullptr, 10);
                        }
                    }
                }
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(req);
                break;
            }
            case TPeerStep::Send: {
                std::string data = step.Data;
                for (std::size_t at; (at = data.find("{PORT}")) != std::string::npos;)
                    data.replace(at, 6, std::to_string(port_));
                bool sent = true;
                for (std::int64_t n = 0; n < step.Repeat && sent && !stop_; ++n) {
                    std::size_t done = 0;
                    while (done < data.size()) {
                        ssize_t r = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
                        if (r <= 0) {
                            sent = false;
                            break;
                        }
                        done += static_cast<std::size_t>(r);
                    }
                }
                break;
            }
            case TPeerStep::Pause: Sleep(step.Ms); break;
            case TPeerStep::Close:
                ::shutdown(fd, SHUT_WR);
                // Let the client read what was sent before the descriptor goes.
                for (int i = 0; i < 100 && !stop_; ++i) {
                    if (!Readable(fd, 20)) continue;
                    char buf[512];
                    if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
                }
                ::close(fd);
                open = false;
                break;
            case TPeerStep::Reset: {
                linger l{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                ::close(fd);
                open = false;
                break;
            }
            case TPeerStep::WaitForClose: {
                auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.Ms);
                while (!stop_ && std::chrono::steady_clock::now() < deadline) {
                    if (!Readable(fd, 20)) continue;
                    char buf[512];
                    if (::recv(fd, buf, sizeof buf, 0) <= 0) {
                        sawClientClose_ = true;
                        break;
                    }
                }
                break;
            }
        }
    }
    if (open) ::close(fd);
}

}  // namespace testsupport
