// sentrel-get against a peer that knows the truth: 200 replies over plain
// HTTP and TLS, cut into random pieces with random pauses, framed by a
// length (right or too long), by the close, or chunked (which a 1.0 client
// takes as it comes), and ended by a close, a close_notify and a close, a
// close_notify and a reset, or a reset after the whole reply. Whether the
// tool says success, and the body it gives, must be what the peer knows it
// sent. The cases come from a fixed seed, so a failure names one that can
// be played again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/TlsSession.h"
#include "support/TestCa.h"

using namespace testsupport;

namespace {

enum class Framing { Length, LengthTooLong, Close, ChunkedToClose, ChunkedWithLength };
enum class Ending { Close, CloseNotifyClose, CloseNotifyReset, Reset };

struct Case {
    bool tls = false;
    Framing framing = Framing::Length;
    Ending ending = Ending::Close;
    std::string reply;              // header and body, as sent
    std::vector<std::size_t> cuts;  // where the reply is cut into pieces
    std::vector<int> pausesUs;      // after each piece
    bool ok = false;                // the truth: a whole reply
    std::string body;               // and its body
};

std::string Describe(const Case& c) {
    static const char* framings[] = {"length", "length too long", "close", "chunked to the close",
                                     "chunked with a length"};
    static const char* endings[] = {"close", "close_notify and close", "close_notify and reset", "reset"};
    return std::string(c.tls ? "https" : "http") + ", " + framings[static_cast<int>(c.framing)] + ", " +
           endings[static_cast<int>(c.ending)] + ", " + std::to_string(c.cuts.size() + 1) + " pieces";
}

Case MakeCase(std::mt19937& rng) {
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    Case c;
    c.tls = pick(2) == 1;
    c.framing = static_cast<Framing>(pick(5));
    // A close_notify is TLS's own; plain HTTP ends with a close or a reset.
    c.ending = c.tls ? static_cast<Ending>(pick(4)) : (pick(2) ? Ending::Reset : Ending::Close);
    std::string body(static_cast<std::size_t>(pick(6000)), ' ');
    for (char& ch : body) ch = static_cast<char>('a' + pick(26));
    std::string header = "HTTP/1.1 200 OK\r\n";
    if (c.framing == Framing::ChunkedToClose || c.framing == Framing::ChunkedWithLength) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx", body.size());
        body = std::string(size) + "\r\n" + body + "\r\n0\r\n\r\n";
        header += "Transfer-Encoding: chunked\r\n";
    }
    if (c.framing == Framing::Length || c.framing == Framing::ChunkedWithLength)
        header += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (c.framing == Framing::LengthTooLong)
        header += "Content-Length: " + std::to_string(body.size() + 1 + pick(100)) + "\r\n";
    c.reply = header + "\r\n" + body;
    for (int n = pick(8); n > 0; --n) c.cuts.push_back(1 + rng() % (c.reply.size() - 1));
    std::sort(c.cuts.begin(), c.cuts.end());
    for (std::size_t i = 0; i <= c.cuts.size(); ++i) c.pausesUs.push_back(pick(3) == 0 ? pick(2000) : 0);
    const bool closeDelimited = c.framing == Framing::Close || c.framing == Framing::ChunkedToClose;
    // A reply with a length is whole when the length came, whatever follows;
    // one ended by the close is whole unless a reset ended it before the
    // server said goodbye.
    c.ok = c.framing != Framing::LengthTooLong && !(closeDelimited && c.ending == Ending::Reset);
    c.body = c.ok ? body : "";
    return c;
}

// Plays case N to a request for /N, on a thread of its own with blocking
// sockets; every wait is bounded.
class TruthPeer {
public:
    TruthPeer(const TCertFiles& files, const std::vector<Case>& cases) : cases_(cases) {
        ::signal(SIGPIPE, SIG_IGN);
        net::TlsInit();
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx_, files.Cert.c_str());
        SSL_CTX_use_PrivateKey_file(ctx_, files.Key.c_str(), SSL_FILETYPE_PEM);
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listenFd_, 8);
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~TruthPeer() {
        stop_ = true;
        thread_.join();
        close(listenFd_);
        SSL_CTX_free(ctx_);
    }
    int Port() const { return port_; }

private:
    void Run() {
        while (!stop_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) continue;
            timeval tv{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each piece a segment
            // Connections are played side by side, as the tool runs are.
            players_.emplace_back([this, fd] {
                Play(fd);
                close(fd);
            });
        }
        for (std::thread& t : players_) t.join();
    }

    void Play(int fd) {
        // Whether TLS comes is told by the first byte: a handshake record.
        char first = 0;
        if (Recv(fd, &first, 1, MSG_PEEK) != 1) return;
        SSL* ssl = nullptr;
        if (first == 0x16) {
            ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            // A blocking call of this thread may be interrupted by the
            // signals of the tool runs: tried again, within the time limit.
            if (!Retry(ssl, [&] { return SSL_accept(ssl); })) {
                SSL_free(ssl);
                ERR_clear_error();
                return;
            }
        }
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            int n = 0;
            if (ssl ? !Retry(ssl, [&] { return n = SSL_read(ssl, buf, sizeof buf); })
                    : (n = static_cast<int>(Recv(fd, buf, sizeof buf))) <= 0)
                break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        const std::size_t at = request.find("GET /");
        const std::size_t index =
            at == std::string::npos ? cases_.size() : std::strtoul(&request[at + 5], nullptr, 10);
        if (index < cases_.size()) Send(fd, ssl, cases_[index]);
        if (ssl) SSL_free(ssl);
        ERR_clear_error();
    }

    // Runs an OpenSSL call until it succeeds (a positive result), fails for
    // good, or the time is up.
    template <typename F>
    static bool Retry(SSL* ssl, F call) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const int r = call();
            if (r > 0) return true;
            const int e = SSL_get_error(ssl, r);
            const bool again = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ||
                               (e == SSL_ERROR_SYSCALL && (errno == EINTR || errno == EAGAIN));
            if (!again || std::chrono::steady_clock::now() > end) return false;
            ERR_clear_error();
        }
    }
    static ssize_t Recv(int fd, char* buf, std::size_t size, int flags = 0) {
        ssize_t n;
        while ((n = recv(fd, buf, size, flags)) < 0 && errno == EINTR) {
        }
        return n;
    }
    static void SendAll(int fd, const char* p, std::size_t left) {
        while (left > 0) {
            const ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }

    static void Send(int fd, SSL* ssl, const Case& c) {
        std::size_t from = 0;
        for (std::size_t i = 0; i <= c.cuts.size(); ++i) {
            const std::size_t to = i < c.cuts.size() ? c.cuts[i] : c.reply.size();
            if (to > from) {
                if (ssl)
                    Retry(ssl,
                          [&] { return SSL_write(ssl, c.reply.data() + from, static_cast<int>(to - from)); });
                else
                    SendAll(fd, c.reply.data() + from, to - from);
            }
            from = std::max(from, to);
            if (c.pausesUs[i] > 0) std::this_thread::sleep_for(std::chrono::microseconds(c.pausesUs[i]));
        }
        if (ssl && (c.ending == Ending::CloseNotifyClose || c.ending == Ending::CloseNotifyReset))
            SSL_shutdown(ssl);  // sends ours; the client's is not awaited
        if (c.ending == Ending::CloseNotifyReset || c.ending == Ending::Reset) {
            // Once everything has gone out (on loopback, into the client's queue): the reset ends the
            // stream, it does not drop the reply's last bytes.
            int queued = 1;
            for (int i = 0; i < 2000 && ioctl(fd, SIOCOUTQNSD, &queued) == 0 && queued > 0; ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            ::linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
    }

    std::vector<Case> cases_;
    SSL_CTX* ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> players_;  // the peer's own thread's
    std::thread thread_;
};

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ToolPath() {
    if (const char* bin = std::getenv("SENTREL_BINARY_DIR")) return std::string(bin) + "/sentrel-get";
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "sentrel-get";
}

std::string Slurp(const char* name) {
    std::string s;
    if (std::FILE* f = std::fopen(name, "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        std::fclose(f);
    }
    std::remove(name);
    return s;
}

ToolRun RunTool(const std::string& url) {
    char outName[] = "/tmp/sentrel-diff-outXXXXXX";
    char errName[] = "/tmp/sentrel-diff-errXXXXXX";
    close(mkstemp(outName));
    close(mkstemp(errName));
    const std::string cmd = "timeout 30 " + ToolPath() + " -s " + url + " >" + outName + " 2>" + errName;
    const int st = std::system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = Slurp(outName);
    r.err = Slurp(errName);
    return r;
}

TEST(HttpDifferential, TheToolsVerdictIsThePeersTruth) {
    if (access(ToolPath().c_str(), X_OK) != 0) GTEST_SKIP() << "sentrel-get is not built at " << ToolPath();
    TTestCa ca;
    std::mt19937 rng(28);
    std::vector<Case> cases;
    for (int i = 0; i < 200; ++i) cases.push_back(MakeCase(rng));
    TruthPeer peer(ca.Issue("truth", TTestCa::Localhost()), cases);
    setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
    // A few runs at a time: each mostly waits (its process starting, the
    // handshake, the pauses).
    constexpr std::size_t kSideBySide = 4;
    std::vector<ToolRun> runs(cases.size());
    for (std::size_t from = 0; from < cases.size(); from += kSideBySide) {
        std::vector<std::thread> batch;
        for (std::size_t i = from; i < std::min(cases.size(), from + kSideBySide); ++i)
            batch.emplace_back([&, i] {
                runs[i] = RunTool(std::string(cases[i].tls ? "https" : "http") +
                                  "://localhost:" + std::to_string(peer.Port()) + "/" + std::to_string(i));
            });
        for (std::thread& t : batch) t.join();
    }
    int right = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const ToolRun& r = runs[i];
        const bool agrees = c.ok ? r.status == 0 && r.out == c.body : r.status == 1;
        right += agrees;
        EXPECT_TRUE(agrees) << "case " << i << " (" << Describe(c) << "): exit " << r.status << ", "
                            << r.out.size() << " bytes of " << c.body.size() << "; " << r.err;
    }
    EXPECT_EQ(right, static_cast<int>(cases.size()));
    unsetenv("SSL_CERT_FILE");
}

}  // namespace
