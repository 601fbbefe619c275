#include "support/RealServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TServerProcess::~TServerProcess() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void TServerProcess::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool TServerProcess::MakeDir(const char* prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        error_ = "cannot make a temporary folder";
        return false;
    }
    dir_ = buf.data();
    return true;
}

bool TServerProcess::Launch(const std::vector<std::string>& argv, const std::string& logFile) {
    pid_ = ::fork();
    if (pid_ == 0) {
        // The child: quiet, in the server's folder, detached from the test's stdin.
        std::string out = dir_ + "/stdout.log";
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (::chdir(dir_.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    for (int i = 0; i < 500; ++i) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = argv[0] + " exited at start: " + ReadText(dir_ + "/stdout.log") + ReadText(logFile);
            return false;
        }
        if (Accepts(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = argv[0] + " did not accept connections: " + ReadText(logFile);
    Stop();
    return false;
}

bool TNginx::Available() {
    return ::access(Binary, X_OK) == 0;
}

void TNginx::WriteFile(const std::string& name, const std::string& content) const {
    WriteText(Www() + "/" + name, content);
}

bool TNginx::Start() {
    if (!MakeDir("sentrel-nginx-")) return false;
    std::filesystem::create_directories(Www());
    std::filesystem::create_directories(dir_ + "/tmp");
    WriteFile("index.html", "<html><body>Sentrel test page</body></html>\n");
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        const std::string p = std::to_string(port_);
        const std::string t = dir_ + "/tmp";
        WriteText(dir_ + "/nginx.conf",
                  "daemon off;\n"
                  "master_process off;\n"
                  "worker_processes 1;\n"
                  "pid " +
                      dir_ +
                      "/nginx.pid;\n"
                      "error_log " +
                      dir_ +
                      "/error.log warn;\n"
                      "events { worker_connections 512; }\n"
                      "http {\n"
                      "  access_log off;\n"
                      "  client_body_temp_path " +
                      t +
                      "/body;\n"
                      "  proxy_temp_path " +
                      t +
                      "/proxy;\n"
                      "  fastcgi_temp_path " +
                      t +
                      "/fastcgi;\n"
                      "  uwsgi_temp_path " +
                      t +
                      "/uwsgi;\n"
                      "  scgi_temp_path " +
                      t +
                      "/scgi;\n"
                      "  default_type application/octet-stream;\n"
                      "  types { text/html html; }\n"
                      "  sendfile on;\n"
                      "  server {\n"
                      "    listen 127.0.0.1:" +
                      p + ";\n" + (ListenIPv6 ? "    listen [::1]:" + p + ";\n" : std::string()) +
                      "    location = /host { return 200 \"$http_host\"; }\n"
                      "    server_name localhost;\n"
                      "    root " +
                      Www() +
                      ";\n"
                      "    location = /redirect { return 302 /index.html; }\n"
                      "    location = /loop { return 302 /loop; }\n"
                      "    location = /absolute { return 301 http://127.0.0.1:" +
                      p +
                      "/index.html; }\n"
                      "  }\n"
                      "}\n");
        if (Launch({Binary, "-e", dir_ + "/error.log", "-p", dir_ + "/", "-c", dir_ + "/nginx.conf"},
                   dir_ + "/error.log"))
            return true;
    }
    return false;
}

static int CountLines(const std::string& path, const std::string& what) {
    std::string text = ReadText(path);
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool TMicrosocks::Available() {
    return ::access(Binary, X_OK) == 0;
}

bool TMicrosocks::Start(const std::string& user, const std::string& password) {
    if (!MakeDir("sentrel-microsocks-")) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        std::vector<std::string> argv{Binary, "-i", "127.0.0.1", "-p", std::to_string(port_)};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
        if (Launch(argv, dir_ + "/stdout.log")) return true;
    }
    return false;
}

int TMicrosocks::Connections() const {
    return CountLines(dir_ + "/stdout.log", ": connected to ");
}

bool TDante::Available() {
    return ::access(Binary, X_OK) == 0;
}

bool TDante::Start() {
    if (!MakeDir("sentrel-dante-")) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        WriteText(dir_ + "/danted.conf", "logoutput: " + dir_ + "/danted.log\n" +
                                             "internal: 127.0.0.1 port = " + std::to_string(port_) + "\n" +
                                             "external: 127.0.0.1\n"
                                             "clientmethod: none\n"
                                             "socksmethod: none\n"
                                             "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                             "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect }\n");
        // One process serving (-N 1), in the foreground (no -D), its pid file here.
        if (Launch({Binary, "-f", dir_ + "/danted.conf", "-N", "1", "-p", dir_ + "/danted.pid"},
                   dir_ + "/danted.log"))
            return true;
    }
    return false;
}

int TDante::Connections() const {
    return CountLines(dir_ + "/danted.log", "tcp/connect [");
}

TSocks4Peer::TSocks4Peer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TSocks4Peer::~TSocks4Peer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::vector<std::string> TSocks4Peer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void TSocks4Peer::Run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        Serve(fd);
        ::close(fd);
    }
}

namespace {
// Reads one byte with a bounded wait; false at the end or on time-out.
bool ReadByte(int fd, unsigned char& c) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) > 0 && ::read(fd, &c, 1) == 1;
}
bool ReadZeroEnded(int fd, std::string& out) {
    unsigned char c;
    while (ReadByte(fd, c)) {
        if (c == 0) return true;
        out += static_cast<char>(c);
        if (out.size() > 255) return false;
    }
    return false;
}
}  // namespace

void TSocks4Peer::Serve(int fd) {
    unsigned char head[8];
    for (unsigned char& c : head)
        if (!ReadByte(fd, c)) return;
    std::string user, host;
    if (head[0] != 4 || head[1] != 1 || !ReadZeroEnded(fd, user)) return;
    const bool named = head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] != 0;
    in_addr dest{};
    if (named) {
        if (!ReadZeroEnded(fd, host)) return;
        const std::string address = host == "localhost" ? "127.0.0.1" : host;
        if (::inet_pton(AF_INET, address.c_str(), &dest) != 1) dest.s_addr = 0;
    } else {
        std::memcpy(&dest, head + 4, 4);
    }
    const int port = head[2] << 8 | head[3];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &dest, text, sizeof text);
        requests_.push_back(user + " " + (named ? host : std::string(text)) + ":" + std::to_string(port));
    }
    unsigned char reply[8] = {0, 91, 0, 0, 0, 0, 0, 0};
    int out = -1;
    if (ntohl(dest.s_addr) == INADDR_LOOPBACK) {
        out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = dest;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) reply[1] = 90;
    }
    if (::write(fd, reply, sizeof reply) != sizeof reply || reply[1] != 90) {
        if (out >= 0) ::close(out);
        return;
    }
    // Relays both ways until either side closes (or the test ends).
    char buf[16384];
    while (!stop_) {
        pollfd p[2] = {{fd, POLLIN, 0}, {out, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0) continue;
        bool done = false;
        for (int i = 0; i < 2 && !done; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n <= 0 || ::write(p[1 - i].fd, buf, static_cast<std::size_t>(n)) != n) done = true;
        }
        if (done) break;
    }
    ::close(out);
}

bool TTinyproxy::Available() {
    return ::access(Binary, X_OK) == 0;
}

bool TTinyproxy::Start() {
    if (!MakeDir("sentrel-tinyproxy-")) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        WriteText(dir_ + "/tinyproxy.conf", "Port " + std::to_string(port_) +
                                                "\n"
                                                "Listen 127.0.0.1\n"
                                                "Timeout 30\n"
                                                "MaxClients 20\n"
                                                "Allow 127.0.0.1\n"
                                                "LogLevel Error\n"
                                                "LogFile \"" +
                                                dir_ +
                                                "/tinyproxy.log\"\n"
                                                "PidFile \"" +
                                                dir_ + "/tinyproxy.pid\"\n");
        if (Launch({Binary, "-d", "-c", dir_ + "/tinyproxy.conf"}, dir_ + "/tinyproxy.log")) return true;
    }
    return false;
}

}  // namespace testsupport
