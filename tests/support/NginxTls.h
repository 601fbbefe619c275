// TNginxTls: a real nginx serving HTTPS on loopback ports for one test (or
// one benchmark run). The test adds TLS servers (each with its certificate,
// on a port of its own), plain-HTTP servers that redirect to one of them,
// and documents; Start writes the configuration into a temporary folder,
// runs nginx in the foreground as a child (one process, its error log and
// temporary files in the folder) and waits until every port answers. Stop,
// or the destructor, ends it and removes the folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/TestCa.h"

namespace testsupport {

class TNginxTls {
public:
    TNginxTls();
    ~TNginxTls();
    TNginxTls(const TNginxTls&) = delete;
    TNginxTls& operator=(const TNginxTls&) = delete;

    // A TLS server with this certificate; returns its index for Port.
    // extra holds further directives for its server block.
    int AddTlsServer(const TCertFiles& files, const std::string& extra = "");
    // A plain-HTTP server that answers every request with a 301 to the TLS
    // server tlsIndex, at https://host:port and the same request target.
    int AddRedirectToTls(int tlsIndex, const std::string& host = "localhost");
    // A plain-HTTP server of the same documents; extra as for AddTlsServer.
    int AddPlainServer(const std::string& extra = "");
    // A document every server serves, at path (which starts with "/").
    void AddFile(const std::string& path, const std::string& content);

    // Runs nginx; throws std::runtime_error, with the error log, if it does
    // not come up within a few seconds.
    void Start();
    void Stop();
    bool Running() const { return pid_ > 0; }

    int Port(int index) const { return servers_.at(static_cast<std::size_t>(index)).port; }
    const std::string& Dir() const { return dir_; }
    std::string ErrorLog() const;

private:
    struct Server {
        int port = 0;
        std::string block;  // the server { } text
    };
    std::string Config() const;

    std::string dir_;
    std::vector<Server> servers_;
    pid_t pid_ = -1;
};

// A free loopback port: bound, read back and released (so in rare cases
// someone else takes it before the test does).
int FreeLoopbackPort();
// True once something accepts connections on 127.0.0.1:port.
bool PortAnswers(int port);

}  // namespace testsupport
