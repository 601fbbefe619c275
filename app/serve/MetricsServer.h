// TMetricsServer: a small HTTP server on the program's own socket layer that
// answers GET (and HEAD) /metrics with the text it was last given, on the
// one event loop: every connection is a TWSocket driven by its events, so a
// scraper is served between the steps of a pass and never holds one up.
//
// Each connection is bounded: its request header may take kMaxHeader bytes
// and must be complete within kHeadTimeoutMs milliseconds, and the answer
// gets kTimeoutMs more to go out, after which the connection is closed. At
// most kMaxConnections are open at once; when all are taken, a new one
// pushes out the connection that has sent nothing for the longest among
// those whose request is not complete yet (so idle connections cannot
// starve a scraper); when every connection is being answered, it is
// answered 503 at once ("Too many connections at once"), and once
// kMaxConnections more of those are still going out the next clients wait
// in the kernel's queue until a connection goes. Nobody gets a bare close.
// One request per connection; the answer says "Connection: close". A
// request that is not HTTP gets 400, another method 405, another path 404.
//
// The listener stays: an accept that finds nothing ("would block", a
// spurious report), is interrupted or meets a client that already gave up
// is no error; one that runs out of descriptors or memory pauses accepting
// for kAcceptPauseMs and says so once; one that finds the listening socket
// itself broken says so and listens again on the same address and port
// (every kAcceptPauseMs until it can).
//
// Other components may take paths of their own (Route): their requests
// wait for that component's answer instead, for as long as the route allows.
//
// Owned by the program's metrics publisher; the connections are owned by
// the server and freed from a message of its own, never inside their
// events. GUI thread (the one loop) only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "platform/Timer.h"

namespace app {

class TMetricsServer {
public:
    static constexpr std::size_t kMaxHeader = 8192;
    static constexpr std::uint32_t kHeadTimeoutMs = 1000;
    static constexpr std::uint32_t kTimeoutMs = 5000;
    static constexpr std::size_t kMaxConnections = 32;
    static constexpr std::uint32_t kAcceptPauseMs = 1000;

    TMetricsServer();
    ~TMetricsServer();
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Listens on "ADDR:PORT" (":PORT" for every address; ADDR a dotted
    // address or a name). Raises base::Exception "Cannot serve metrics on
    // ADDR:PORT: reason".
    void Listen(const std::string& addrPort);
    // The port listened on, in decimal (useful after port 0).
    std::string Port();
    // How long a connection may take to send its request head (tests set
    // more, so a loaded machine cannot close their connections early).
    std::uint32_t HeadTimeoutMs = kHeadTimeoutMs;
    // The document GET /metrics answers with from now on.
    void SetText(std::string text) { text_ = std::move(text); }
    // Connections open now (not counting those closed and not yet freed).
    std::size_t Connections() const;
    // Takes each line about the listener itself (accepting paused, closed
    // by an error and listening again); without it they go to stderr.
    std::function<void(const std::string& line)> OnTrouble;
    // The listening socket, for a test that hands it a notification.
    net::TWSocket& Listener() { return listener_; }

    // What a request header asks for: the status and reason of the answer
    // (200 when it is ours). Does no I/O. header holds the request line and
    // the lines after it, up to the empty line.
    struct TVerdict {
        int Status = 400;
        const char* Reason = "Bad Request";
        bool Head = false;  // a HEAD request: the header without the body
    };
    static TVerdict Judge(const std::string& header);

    // A path another component answers (GET /probe); a path ending in "*"
    // takes every path that starts with what comes before it. The handler is given
    // the request target ("/probe?target=...") and the header, and answers
    // once through reply, then or later from the loop; what it returns is
    // called instead when the connection goes before the answer (the
    // scraper gave up), after which the reply goes nowhere. Such a request
    // may wait timeoutMs for its answer, and the route may hold up to
    // extraConnections connections on top of kMaxConnections.
    struct TReply {
        TReply() = default;
        TReply(int status, const char* reason, std::string body, std::string contentType = {},
               std::string headers = {})
            : Status(status),
              Reason(reason),
              Body(std::move(body)),
              ContentType(std::move(contentType)),
              Headers(std::move(headers)) {}
        int Status = 200;
        const char* Reason = "OK";
        std::string Body;         // the exposition text for 200, else a line saying why
        std::string ContentType;  // empty: the exposition text's
        std::string Headers;      // more header lines, each ending in CR LF
    };
    using TRouteReply = std::function<void(const TReply&)>;
    using TRoute = std::function<std::function<void()>(const std::string& target, const std::string& header,
                                                       TRouteReply reply)>;
    void Route(std::string path, TRoute route, std::uint32_t timeoutMs, std::size_t extraConnections);

private:
    struct Connection {
        net::TWSocket Socket;
        platform::TTimer Deadline;
        std::string Request;
        std::chrono::steady_clock::time_point LastHeard;  // accepted, or the last bytes of its request
        bool Answered = false;
        bool Dead = false;
        bool Replied = false;  // a routed request's answer came
        std::uint64_t Serial = 0;
        std::function<void()> Cancel;  // of a routed request still waiting for its answer
    };

    void Accept();
    void AcceptFailed(int code);
    void ListenAgain();
    void Trouble(const std::string& line);
    void Receive(Connection& c);
    void Answer(Connection& c, const TVerdict& verdict, const TReply* reply = nullptr);
    bool TakeRoute(Connection& c, const std::string& header, bool head);
    void Drop(Connection& c);
    void Reap();
    // Makes room for one more: false when every connection is being answered.
    bool MakeRoom();

    net::TWSocket listener_;
    std::string listenAt_;         // what Listen was given, with the port it got
    platform::TTimer resume_;      // ends a pause, or tries listening again
    bool paused_ = false;          // no accept until resume_ ticks
    bool pauseTold_ = false;       // the pause was told, until an accept succeeds
    bool waitingForRoom_ = false;  // an accept held back until a connection goes
    std::list<std::unique_ptr<Connection>> connections_;
    platform::HWND wnd_ = 0;
    bool reapPosted_ = false;
    std::string text_;
    struct RouteEntry {
        std::string Path;
        TRoute Take;
        std::uint32_t TimeoutMs = 0;
    };
    std::vector<RouteEntry> routes_;
    std::size_t extraConnections_ = 0;
    std::uint64_t serial_ = 0;
};

}  // namespace app
