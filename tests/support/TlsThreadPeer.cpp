#include "tests/support/TlsThreadPeer.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "net/TlsSession.h"

namespace testsupport {

TTlsThreadPeer::TTlsThreadPeer(const TCertFiles& files, std::vector<TTlsExchange> exchanges)
    : exchanges_(std::move(exchanges)) {
    // A client that hangs up early makes the peer's next write fail; without
    // this the signal would end the whole test program without naming the case.
    ::signal(SIGPIPE, SIG_IGN);
    net::TlsInit();
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr || SSL_CTX_use_certificate_chain_file(ctx_, files.Cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, files.Key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx_);
        throw std::runtime_error("TLS thread peer: cannot load " + files.Cert);
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 8) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(listenFd_);
        SSL_CTX_free(ctx_);
        throw std::runtime_error("TLS thread peer: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TTlsThreadPeer::~TTlsThreadPeer() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
    SSL_CTX_free(ctx_);
}

bool TTlsThreadPeer::WaitDone() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done_;
}

std::vector<std::string> TTlsThreadPeer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<bool> TTlsThreadPeer::ClientCloseNotify() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeNotify_;
}

void TTlsThreadPeer::Run() {
    for (const TTlsExchange& exchange : exchanges_) {
        int fd = -1;
        while (!stop_ && fd < 0) {
            pollfd p{listenFd_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) fd = accept(listenFd_, nullptr, nullptr);
        }
        if (fd < 0) break;
        timeval tv{0, 200 * 1000};  // short reads, so that stopping is seen
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        Play(fd, exchange);
        close(fd);
    }
    ERR_clear_error();
    done_ = true;
}

void TTlsThreadPeer::Play(int fd, const TTlsExchange& exchange) {
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    std::string request;
    bool closeNotify = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto timeLeft = [&] { return !stop_ && std::chrono::steady_clock::now() < deadline; };
    // Handshake and request; a read that times out is tried again.
    int r;
    while ((r = SSL_accept(ssl)) != 1 && timeLeft()) {
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && !(e == SSL_ERROR_SYSCALL && errno == EAGAIN)) break;
        ERR_clear_error();
    }
    char buffer[4096];
    if (r == 1) {
        while (request.find("\r\n\r\n") == std::string::npos && timeLeft()) {
            int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0) {
                request.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            int e = SSL_get_error(ssl, n);
            if (e != SSL_ERROR_WANT_READ && !(e == SSL_ERROR_SYSCALL && errno == EAGAIN)) break;
            ERR_clear_error();
        }
        // A body announced by Content-Length (a POST) is part of the request.
        std::size_t headerEnd = request.find("\r\n\r\n");
        std::size_t at = request.find("Content-Length: ");
        if (headerEnd != std::string::npos && at != std::string::npos && at < headerEnd) {
            std::size_t want = headerEnd + 4 + std::stoul(request.substr(at + 16));
            while (request.size() < want && timeLeft()) {
                int n = SSL_read(ssl, buffer, sizeof buffer);
                if (n > 0) {
                    request.append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                int e = SSL_get_error(ssl, n);
                if (e != SSL_ERROR_WANT_READ && !(e == SSL_ERROR_SYSCALL && errno == EAGAIN)) break;
                ERR_clear_error();
            }
        }
        if (!exchange.Reply.empty())
            SSL_write(ssl, exchange.Reply.data(), static_cast<int>(exchange.Reply.size()));
        const TTlsEnding ending = exchange.Ending;
        if (ending == TTlsEnding::CloseNotify || ending == TTlsEnding::CloseNotifyThenClose ||
            ending == TTlsEnding::CloseNotifyThenReset)
            SSL_shutdown(ssl);
        if (ending == TTlsEnding::NoCloseNotify) shutdown(fd, SHUT_WR);
        if (ending == TTlsEnding::CloseNotifyThenReset || ending == TTlsEnding::ResetAfterReply) {
            // A reset drops what is still queued here: it goes once the client
            // has taken everything, so that it ends the stream, not the reply.
            int queued = 1;
            while (timeLeft() && ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) poll(nullptr, 0, 1);
            ::linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        // The socket closes (or resets) as soon as this returns.
        const bool atOnce = ending == TTlsEnding::CloseNotifyThenClose ||
                            ending == TTlsEnding::CloseNotifyThenReset ||
                            ending == TTlsEnding::ResetAfterReply;
        // Whatever the ending, see how the client ends its side.
        while (!atOnce && timeLeft()) {
            int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0) continue;
            int e = SSL_get_error(ssl, n);
            if (e == SSL_ERROR_ZERO_RETURN) {
                closeNotify = true;
                break;
            }
            if (e != SSL_ERROR_WANT_READ && !(e == SSL_ERROR_SYSCALL && errno == EAGAIN)) break;
            ERR_clear_error();
        }
    }
    SSL_free(ssl);
    ERR_clear_error();
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    closeNotify_.push_back(closeNotify);
}

}  // namespace testsupport
