#include "app/serve/MetricsServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "base/Exception.h"
#include "base/Strings.h"
#include "net/Url.h"
#include "net/WinsockLib.h"
#include "platform/SocketErrors.h"

namespace app {

namespace {

constexpr platform::UINT kMsgReap = platform::WM_USER + 1;

// The request line's method, target and version, split at single blanks.
bool SplitRequestLine(const std::string& line, std::string& method, std::string& target) {
    std::size_t a = line.find(' ');
    if (a == std::string::npos || a == 0) return false;
    std::size_t b = line.find(' ', a + 1);
    if (b == std::string::npos || b == a + 1) return false;
    std::string version = line.substr(b + 1);
    if (version.rfind("HTTP/", 0) != 0 || version.size() < 8) return false;
    method = line.substr(0, a);
    target = line.substr(a + 1, b - a - 1);
    for (char c : method)
        if (c < 'A' || c > 'Z') return false;
    for (char c : target)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

}  // namespace

TMetricsServer::TMetricsServer() {
    wnd_ = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == kMsgReap) Reap();
        return platform::LRESULT{0};
    });
    listener_.OnSessionAvailable = [this](base::TObject*, std::uint16_t error) {
        if (error == 0) Accept();
    };
    // A failure of our own while accepting never closes the listener.
    listener_.OnBgException = [this](base::TObject*, const std::exception& e, bool& canClose) {
        canClose = false;
        Trouble("Metrics listener: " + std::string(e.what()));
    };
    resume_.OnTimer = [this] {
        resume_.SetEnabled(false);
        paused_ = false;
        if (listener_.State() != net::wsListening)
            ListenAgain();
        else
            Accept();
    };
}

TMetricsServer::~TMetricsServer() {
    for (auto& c : connections_) c->Dead = true;  // no drop of their own on the way out
    connections_.clear();
    listener_.OnSessionAvailable = nullptr;
    listener_.Close();
    if (wnd_) platform::DeallocateHWnd(wnd_);
}

void TMetricsServer::Listen(const std::string& addrPort) {
    std::size_t colon = addrPort.rfind(':');
    const std::string addr =
        colon == std::string::npos ? std::string() : net::WithoutBrackets(addrPort.substr(0, colon));
    const std::string port = colon == std::string::npos ? addrPort : addrPort.substr(colon + 1);
    try {
        if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos)
            throw base::Exception("a port number is needed");
        listener_.SetAddr(addr.empty() ? "0.0.0.0" : addr);
        listener_.SetPort(port);
        listener_.Listen();
        if (listener_.State() != net::wsListening) throw base::Exception("not listening");
        // The socket layer listens with Winsock's backlog of 5: a burst of
        // scrapers (a Prometheus probing a hundred targets at once) would
        // see its connections dropped and retried seconds later. Listening
        // again on the same socket only widens the queue.
        ::listen(listener_.HSocket(), SOMAXCONN);
        // Listening again after an error takes the port this one got.
        const std::string bound = listener_.GetXPort();
        listenAt_ = colon == std::string::npos ? bound : addrPort.substr(0, colon + 1) + bound;
    } catch (const std::exception& e) {
        listener_.Close();
        // The socket layer's reason may come on two lines; ours is one.
        std::string reason = e.what();
        for (std::size_t at; (at = reason.find_first_of("\r\n")) != std::string::npos;)
            reason.replace(at, reason.find_first_not_of("\r\n", at) - at, ": ");
        throw base::Exception("Cannot serve metrics on " + addrPort + ": " + reason);
    }
}

std::string TMetricsServer::Port() {
    return listener_.GetXPort();
}

TMetricsServer::TVerdict TMetricsServer::Judge(const std::string& header) {
    TVerdict v;
    std::size_t end = header.find('\n');
    std::string line = header.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string method, target;
    if (!SplitRequestLine(line, method, target)) return v;
    if (method != "GET" && method != "HEAD") return {405, "Method Not Allowed", false};
    v.Head = method == "HEAD";
    std::string path = target.substr(0, target.find('?'));
    if (path != "/metrics") return {404, "Not Found", v.Head};
    return {200, "OK", v.Head};
}

void TMetricsServer::Accept() {
    if (paused_ || listener_.State() != net::wsListening) return;
    const std::size_t limit = kMaxConnections + extraConnections_;
    if (Connections() >= limit + kMaxConnections) {
        waitingForRoom_ = true;  // the clients wait in the kernel's queue
        return;
    }
    net::TSocket handle = net::INVALID_SOCKET;
    try {
        handle = listener_.Accept();
    } catch (const std::exception&) {
        AcceptFailed(listener_.LastError());
        return;
    }
    if (handle == net::INVALID_SOCKET) {
        AcceptFailed(listener_.LastError());
        return;
    }
    pauseTold_ = false;
    // Every connection is being answered: this one is told so at once.
    const bool turnedAway = Connections() >= limit && !MakeRoom();
    auto owned = std::make_unique<Connection>();
    Connection* c = owned.get();
    c->Serial = ++serial_;
    c->LastHeard = std::chrono::steady_clock::now();
    connections_.push_back(std::move(owned));
    // A plain close, so the answer still queued in the platform goes out
    // before the connection ends.
    c->Socket.SetLingerOnOff(net::wsLingerOff);
    c->Socket.OnError = [this, c](base::TObject*) { Drop(*c); };
    c->Socket.OnDataAvailable = [this, c](base::TObject*, std::uint16_t) { Receive(*c); };
    c->Socket.OnDataSent = [c](base::TObject*, std::uint16_t) {
        // Everything went out: say so, and wait for the scraper to close.
        if (c->Answered && !c->Dead) c->Socket.Shutdown(1);
    };
    c->Socket.OnSessionClosed = [this, c](base::TObject*, std::uint16_t) { Drop(*c); };
    c->Deadline.OnTimer = [this, c] { Drop(*c); };
    c->Deadline.SetInterval(HeadTimeoutMs);
    c->Deadline.SetEnabled(true);
    c->Socket.Dup(handle);
    if (turnedAway && !c->Dead) {
        static const TReply kBusy{503, "Service Unavailable", "Too many connections at once\n"};
        Answer(*c, TVerdict{503, "Service Unavailable", false}, &kBusy);
    }
}

void TMetricsServer::AcceptFailed(int code) {
    const std::string why = net::SocketErrorText(code);
    switch (code) {
        case platform::WSAEMFILE:
        case platform::WSAENOBUFS:
            // The clients wait in the kernel's queue meanwhile; accepting at
            // once again would only spin on the same failure.
            paused_ = true;
            resume_.SetInterval(kAcceptPauseMs);
            resume_.SetEnabled(true);
            if (!pauseTold_)
                Trouble("Metrics listener: " + why + "; accepting again in " +
                        std::to_string(kAcceptPauseMs / 1000) + " s");
            pauseTold_ = true;
            return;
        case platform::WSAEBADF:
        case platform::WSAEINVAL:
        case platform::WSAENOTSOCK:
        case platform::WSAEOPNOTSUPP: break;
        default:
            // Nothing queued after all, an interrupted call, a client that
            // gave up before it was accepted: the listener is as it was.
            if (listener_.State() == net::wsListening) return;
            break;
    }
    Trouble("Metrics listener on " + listenAt_ + " closed after an error (" + why + "); listening again");
    listener_.Close();
    ListenAgain();
}

void TMetricsServer::ListenAgain() {
    try {
        Listen(listenAt_);
    } catch (const std::exception& e) {
        Trouble(std::string(e.what()) + "; trying again in " + std::to_string(kAcceptPauseMs / 1000) + " s");
        resume_.SetInterval(kAcceptPauseMs);
        resume_.SetEnabled(true);
    }
}

void TMetricsServer::Trouble(const std::string& line) {
    if (OnTrouble) {
        OnTrouble(line);
        return;
    }
    std::fprintf(stderr, "%s\n", base::ShowControls(line).c_str());
    std::fflush(stderr);
}

std::size_t TMetricsServer::Connections() const {
    std::size_t n = 0;
    for (const auto& c : connections_)
        if (!c->Dead) ++n;
    return n;
}

bool TMetricsServer::MakeRoom() {
    Connection* idlest = nullptr;
    for (const auto& c : connections_)
        if (!c->Dead && !c->Answered && (!idlest || c->LastHeard < idlest->LastHeard)) idlest = c.get();
    if (!idlest) return false;
    Drop(*idlest);
    return true;
}

void TMetricsServer::Receive(Connection& c) {
    char buffer[4096];
    int n = c.Socket.Receive(buffer, sizeof buffer);
    if (n <= 0 || c.Answered || c.Dead) return;  // after the answer, what comes is dropped
    c.LastHeard = std::chrono::steady_clock::now();
    c.Request.append(buffer, static_cast<std::size_t>(n));
    std::size_t end = c.Request.find("\r\n\r\n");
    std::size_t lf = c.Request.find("\n\n");
    if (lf != std::string::npos && (end == std::string::npos || lf < end)) end = lf;
    if (end == std::string::npos) {
        if (c.Request.size() > kMaxHeader) Answer(c, TVerdict{});
        return;
    }
    if (end > kMaxHeader) {
        Answer(c, TVerdict{});
        return;
    }
    const std::string header = c.Request.substr(0, end);
    const TVerdict verdict = Judge(header);
    if (verdict.Status == 404 && TakeRoute(c, header, verdict.Head)) return;
    Answer(c, verdict);
}

void TMetricsServer::Route(std::string path, TRoute route, std::uint32_t timeoutMs,
                           std::size_t extraConnections) {
    routes_.push_back({std::move(path), std::move(route), timeoutMs});
    extraConnections_ += extraConnections;
}

bool TMetricsServer::TakeRoute(Connection& c, const std::string& header, bool head) {
    std::string line = header.substr(0, header.find('\n')), method, target;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!SplitRequestLine(line, method, target)) return false;
    const std::string path = target.substr(0, target.find('?'));
    const RouteEntry* route = nullptr;
    for (const RouteEntry& r : routes_) {
        const bool prefix = !r.Path.empty() && r.Path.back() == '*';
        if (prefix ? path.compare(0, r.Path.size() - 1, r.Path, 0, r.Path.size() - 1) == 0 : path == r.Path) {
            route = &r;
            break;
        }
    }
    if (!route) return false;
    c.Answered = true;  // what comes after the header is dropped
    c.Request.clear();
    c.Deadline.SetEnabled(false);  // a new count from here
    c.Deadline.SetInterval(route->TimeoutMs);
    c.Deadline.SetEnabled(true);
    const std::uint64_t serial = c.Serial;
    auto reply = [this, serial, head](const TReply& r) {
        for (auto& each : connections_) {
            Connection& to = *each;
            if (to.Serial != serial || to.Dead) continue;
            to.Cancel = nullptr;
            to.Replied = true;
            Answer(to, TVerdict{r.Status, r.Reason, head}, &r);
            return;
        }
    };
    auto cancel = route->Take(target, header, reply);
    // An answer that came at once leaves nothing to cancel.
    if (!c.Dead && !c.Replied) c.Cancel = std::move(cancel);
    return true;
}

void TMetricsServer::Answer(Connection& c, const TVerdict& verdict, const TReply* routed) {
    c.Answered = true;
    c.Request.clear();
    c.Deadline.SetInterval(kTimeoutMs);  // the answer's own time to go out
    std::string body = routed                  ? routed->Body
                       : verdict.Status == 200 ? text_
                                               : std::string(verdict.Reason) + "\n";
    std::string reply = "HTTP/1.1 " + std::to_string(verdict.Status) + " " + verdict.Reason + "\r\n";
    if (routed && !routed->ContentType.empty())
        reply += "Content-Type: " + routed->ContentType + "\r\n";
    else
        reply += verdict.Status == 200 ? "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                                       : "Content-Type: text/plain; charset=utf-8\r\n";
    if (routed) reply += routed->Headers;
    if (verdict.Status == 405) reply += "Allow: GET, HEAD\r\n";
    reply += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!verdict.Head) reply += body;
    c.Socket.SendText(reply);
    // What the platform took at once is on its way; the rest follows from
    // the write notification (OnDataSent).
    if (!c.Dead && c.Socket.AllSent()) c.Socket.Shutdown(1);
}

void TMetricsServer::Drop(Connection& c) {
    if (c.Dead) return;
    c.Dead = true;
    c.Deadline.SetEnabled(false);
    c.Socket.Close();
    if (auto cancel = std::move(c.Cancel)) cancel();  // nobody waits for the answer any more
    // The connection is freed from a message of the server's own: its
    // socket may still be inside the event that brought us here.
    if (!reapPosted_ && platform::PostMessage(wnd_, kMsgReap, 0, 0)) reapPosted_ = true;
}

void TMetricsServer::Reap() {
    reapPosted_ = false;
    connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->Dead; });
    if (waitingForRoom_) {
        waitingForRoom_ = false;
        Accept();  // the client that waited in the queue, or a new wait
    }
}

}  // namespace app
