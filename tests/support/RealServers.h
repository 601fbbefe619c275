// Real servers for the HTTP client's tests and benchmarks: nginx serving a
// folder of pages and a few redirections, and tinyproxy as an HTTP proxy.
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

#include <string>
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
    bool Start();
    std::string Www() const { return dir_ + "/www"; }
    // Writes a file under the served folder.
    void WriteFile(const std::string& name, const std::string& content) const;
};

class TTinyproxy : public TServerProcess {
public:
    static constexpr const char* Binary = "/usr/bin/tinyproxy";
    static bool Available();
    bool Start();
};

}  // namespace testsupport
