#include "tests/support/NginxTls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace fs = std::filesystem;

int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("no free loopback port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool PortAnswers(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

TNginxTls::TNginxTls() {
    std::string pattern = (fs::temp_directory_path() / "sentrel-nginx-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder for nginx");
    dir_ = pattern;
    fs::create_directories(dir_ + "/html");
    fs::create_directories(dir_ + "/logs");
    fs::create_directories(dir_ + "/tmp");
}

TNginxTls::~TNginxTls() {
    Stop();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

int TNginxTls::AddTlsServer(const TCertFiles& files, const std::string& extra) {
    Server s;
    s.port = FreeLoopbackPort();
    s.block = "  server {\n    listen 127.0.0.1:" + std::to_string(s.port) +
              " ssl;\n"
              "    server_name localhost;\n"
              "    ssl_certificate " +
              files.Cert + ";\n    ssl_certificate_key " + files.Key +
              ";\n"
              "    ssl_protocols TLSv1.2 TLSv1.3;\n"
              "    root " +
              dir_ + "/html;\n" + extra + "\n  }\n";
    servers_.push_back(s);
    return static_cast<int>(servers_.size()) - 1;
}

int TNginxTls::AddPlainServer(const std::string& extra) {
    Server s;
    s.port = FreeLoopbackPort();
    s.block = "  server {\n    listen 127.0.0.1:" + std::to_string(s.port) + ";\n    root " + dir_ +
              "/html;\n" + extra + "\n  }\n";
    servers_.push_back(s);
    return static_cast<int>(servers_.size()) - 1;
}

int TNginxTls::AddRedirectToTls(int tlsIndex, const std::string& host) {
    Server s;
    s.port = FreeLoopbackPort();
    s.block = "  server {\n    listen 127.0.0.1:" + std::to_string(s.port) +
              ";\n"
              "    location / { return 301 https://" +
              host + ":" + std::to_string(Port(tlsIndex)) + "$request_uri; }\n  }\n";
    servers_.push_back(s);
    return static_cast<int>(servers_.size()) - 1;
}

void TNginxTls::AddFile(const std::string& path, const std::string& content) {
    fs::path file = fs::path(dir_ + "/html") / fs::path(path).relative_path();
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string TNginxTls::Config() const {
    std::string tmp = dir_ + "/tmp";
    std::string text =
        "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        "pid " +
        dir_ + "/nginx.pid;\nerror_log " + dir_ +
        "/logs/error.log warn;\n"
        "events { worker_connections 1024; }\n"
        "http {\n"
        "  access_log off;\n"
        "  default_type application/octet-stream;\n"
        "  types { text/html html; text/plain txt; }\n"
        "  client_body_temp_path " +
        tmp + "/body;\n  proxy_temp_path " + tmp +
        "/proxy;\n"
        "  fastcgi_temp_path " +
        tmp + "/fastcgi;\n  uwsgi_temp_path " + tmp +
        "/uwsgi;\n"
        "  scgi_temp_path " +
        tmp + "/scgi;\n";
    for (const Server& s : servers_) text += s.block;
    return text + "}\n";
}

std::string TNginxTls::ErrorLog() const {
    std::ifstream in(dir_ + "/logs/error.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void TNginxTls::Start() {
    if (Running()) return;
    std::string conf = dir_ + "/nginx.conf";
    std::ofstream(conf) << Config();
    std::string errorLog = dir_ + "/logs/error.log";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("cannot start nginx");
    if (pid_ == 0) {
        int out = open((dir_ + "/logs/stdout.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execlp("nginx", "nginx", "-p", dir_.c_str(), "-c", conf.c_str(), "-e", errorLog.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("nginx did not start:\n" + ErrorLog());
        }
        bool all = true;
        for (const Server& s : servers_) all = all && PortAnswers(s.port);
        if (all) return;
        if (std::chrono::steady_clock::now() > deadline) {
            Stop();
            throw std::runtime_error("nginx did not answer:\n" + ErrorLog());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void TNginxTls::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 250; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace testsupport
