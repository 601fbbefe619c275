// TTlsThreadPeer: a TLS server on a loopback port, run on a thread of its own
// with a blocking socket, for the client's tests of how TLS connections end
// (which a real server such as nginx does not let a test choose). It plays
// one step list per connection, in order: read the request, send a reply,
// then end one of a few ways, and records what the client did at the end.
// Every wait is bounded; the destructor stops it whatever it is doing.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestCa.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace testsupport {

enum class TTlsEnding {
    CloseNotify,    // our close_notify, then wait for the client's answer
    NoCloseNotify,  // end the TCP stream (FIN) with no close_notify
    WaitForClient,  // send nothing more; wait until the client ends
    // Our close_notify, then the socket closed at once: the client's answer
    // meets a closed socket, which answers with a reset.
    CloseNotifyThenClose,
    CloseNotifyThenReset,  // our close_notify, then a reset at once
    ResetAfterReply,       // a reset right after the reply, with no close_notify
};

struct TTlsExchange {
    std::string Reply;
    TTlsEnding Ending = TTlsEnding::CloseNotify;
};

class TTlsThreadPeer {
public:
    TTlsThreadPeer(const TCertFiles& files, std::vector<TTlsExchange> exchanges);
    ~TTlsThreadPeer();
    TTlsThreadPeer(const TTlsThreadPeer&) = delete;
    TTlsThreadPeer& operator=(const TTlsThreadPeer&) = delete;

    int Port() const { return port_; }
    // Waits (a few seconds at most) until every exchange has been played.
    bool WaitDone();
    // Per connection: the request received, and whether the client's
    // close_notify came before its end of the stream.
    std::vector<std::string> Requests() const;
    std::vector<bool> ClientCloseNotify() const;

private:
    void Run();
    void Play(int fd, const TTlsExchange& exchange);

    SSL_CTX* ctx_ = nullptr;
    std::vector<TTlsExchange> exchanges_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<bool> closeNotify_;
    std::thread thread_;
};

}  // namespace testsupport
