// A scripted server for the HTTP client's tests: it listens on 127.0.0.1 on
// a port of its own, and plays one script to each connection it accepts, in
// order (the last script is played again for any further connection). It
// runs on a thread of its own with blocking sockets, so it never depends on
// the message loop the client under test sleeps in. Every wait it makes is
// bounded, and the destructor stops it whatever it is doing.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct TPeerStep {
    enum Kind {
        ReadRequest,   // read the request header (and a body of Content-Length bytes)
        Send,          // send Data, with "{PORT}" standing for the peer's own port
        Pause,         // wait Ms milliseconds
        Close,         // orderly close
        Reset,         // close with a reset
        WaitForClose,  // wait (at most Ms) until the client closes its end
    };
    Kind What = Send;
    std::string Data;
    int Ms = 0;
    std::int64_t Repeat = 1;  // Send: Data this many times, one after the other
};

using TPeerScript = std::vector<TPeerStep>;

// Script helpers.
TPeerStep ReadRequest();
TPeerStep SendBytes(std::string data);
// data sent times times over: a page of any size without holding it.
TPeerStep SendRepeated(std::string data, std::int64_t times);
TPeerStep PauseMs(int ms);
TPeerStep CloseConn();
TPeerStep ResetConn();
TPeerStep WaitForClose(int ms);
// The common case: read the request, send the reply, close.
TPeerScript Answer(std::string reply);

class TScriptedPeer {
public:
    explicit TScriptedPeer(std::vector<TPeerScript> scripts);
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    int Port() const { return port_; }
    // "127.0.0.1:PORT"
    std::string HostPort() const;
    // The request bytes of each connection so far, in order.
    std::vector<std::string> Requests() const;
    int Connections() const { return connections_; }
    // Whether the client had closed its end when a WaitForClose step ended.
    bool SawClientClose() const { return sawClientClose_; }

private:
    void Run();
    void Play(int fd, const TPeerScript& script);
    bool Sleep(int ms);  // false when stopping

    std::vector<TPeerScript> scripts_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> sawClientClose_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A loopback port that nothing listens on (bound, then released).
int UnusedPort();

}  // namespace testsupport
