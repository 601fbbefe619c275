// Real servers for the HTTP client's tests and benchmarks: nginx serving a
// folder of pages and a few redirections (on 127.0.0.1, and on [::1] too
// when asked), tinyproxy as an HTTP proxy, microsocks and dante as SOCKS
// proxies, and a scripted SOCKS 4/4A proxy (dante has no 4A) that relays to
// loopback servers only.
// Each is started on a free loopback port with a configuration written into
// a temporary folder of its own (pid file, logs and temp paths included, so
// nothing outside that folder is touched), runs in the foreground as a child
// of the test, and is stopped and reaped by the destructor.
//
// Available() says whether the program is installed; tests skip with a clear
// message when it is not. Start() returns false (with the reason in Error())
// when the server would not come up.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class TServerProcess {
public:
    TServerProcess() = default;
    virtual ~TServerProcess();
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;

    int Port() const { return port_; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& Dir() const { return dir_; }
    const std::string& Error() const { return error_; }
    void Stop();

protected:
    // Makes the temporary folder; false when it cannot.
    bool MakeDir(const char* prefix);
    // Runs argv and waits until the port accepts connections.
    bool Launch(const std::vector<std::string>& argv, const std::string& logFile);

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

class TNginx : public TServerProcess {
public:
    static constexpr const char* Binary = "/usr/sbin/nginx";
    static bool Available();
    // Serves Dir()/www. The configuration answers, besides the files:
    //   /redirect  302 to /index.html       /loop  302 to itself
    //   /absolute  301 to the full URL of /index.html
    //   /host      200 with the request's Host header as the body
    // With ListenIPv6 set before Start, it listens on [::1] at the same port too.
    bool ListenIPv6 = false;
    bool Start();
    std::string Www() const { return dir_ + "/www"; }
    // Writes a file under the served folder.
    void WriteFile(const std::string& name, const std::string& content) const;
};

class TMicrosocks : public TServerProcess {
public:
    static constexpr const char* Binary = "/usr/bin/microsocks";
    static bool Available();
    // SOCKS 5 on a loopback port; with a user, only with that user's password.
    bool Start(const std::string& user = "", const std::string& password = "");
    // The connections it made to servers so far (from its log).
    int Connections() const;
};

// dante in the foreground on a loopback port, SOCKS 4 and 5 without
// authentication (its user/password method checks the system's accounts,
// which a test cannot make), its pid file and log in its own folder.
class TDante : public TServerProcess {
public:
    static constexpr const char* Binary = "/usr/sbin/danted";
    static bool Available();
    bool Start();
    int Connections() const;
};

// A scripted SOCKS 4 and 4A proxy on a thread of its own: it answers
// granted (90) and relays to the destination, which must be on 127.0.0.1
// (4A: "localhost" or a dotted address; any other name is refused with 91
// without asking a resolver).
class TSocks4Peer {
public:
    TSocks4Peer();
    ~TSocks4Peer();
    TSocks4Peer(const TSocks4Peer&) = delete;
    TSocks4Peer& operator=(const TSocks4Peer&) = delete;
    int Port() const { return port_; }
    int Connections() const { return connections_; }
    // "user host:port" of each request, host as sent (a name for 4A).
    std::vector<std::string> Requests() const;

private:
    void Run();
    void Serve(int fd);
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

class TTinyproxy : public TServerProcess {
public:
    static constexpr const char* Binary = "/usr/bin/tinyproxy";
    static bool Available();
    bool Start();
};

}  // namespace testsupport
