// TTlsPeer: an OpenSSL server held in memory, the far end for tests of the
// client's TLS session without any socket. The test moves bytes between the
// two with Exchange (or by hand, to split, drop or corrupt them). The peer
// records the server name the client asked for.
#pragma once

#include <string>

#include "net/TlsSession.h"
#include "tests/support/TestCa.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace testsupport {

class TTlsPeer {
public:
    // A server with this certificate and key; maxVersion 0 allows every
    // version OpenSSL has, else it is the highest (TLS1_1_VERSION...).
    explicit TTlsPeer(const TCertFiles& files, int maxVersion = 0);
    ~TTlsPeer();
    TTlsPeer(const TTlsPeer&) = delete;
    TTlsPeer& operator=(const TTlsPeer&) = delete;

    void Feed(const std::string& data);
    std::string TakeOutput();
    // Runs the server's side as far as the input allows; false once it failed.
    bool Step();
    // Plaintext received so far (read out of the connection by Step).
    std::string Received;
    void Write(const std::string& data, std::size_t recordSize = 16384);
    // Sends our close_notify.
    void Shutdown();
    bool HandshakeDone() const;
    bool SawCloseNotify() const { return sawCloseNotify_; }
    const std::string& ServerName() const { return serverName_; }

    // Moves bytes both ways until neither side has anything more to say.
    void Exchange(net::TTlsSession& client);

    std::string serverName_;  // set by the server-name callback

private:
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
    bool failed_ = false;
    bool sawCloseNotify_ = false;
};

}  // namespace testsupport
