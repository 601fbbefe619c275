#include "tests/support/TlsPeer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace testsupport {

namespace {

int RecordServerName(SSL* ssl, int*, void* arg) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    static_cast<TTlsPeer*>(arg)->serverName_ = name ? name : "";
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

TTlsPeer::TTlsPeer(const TCertFiles& files, int maxVersion) {
    net::TlsInit();
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr) throw std::runtime_error("TLS peer: no context");
    if (maxVersion != 0) {
        // Old protocol versions need the lowest security level to be offered at all.
        SSL_CTX_set_security_level(ctx_, 0);
        SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx_, maxVersion);
        SSL_CTX_set_cipher_list(ctx_, "DEFAULT:@SECLEVEL=0");
    }
    if (SSL_CTX_use_certificate_chain_file(ctx_, files.Cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, files.Key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx_);
        throw std::runtime_error("TLS peer: cannot load " + files.Cert);
    }
    SSL_CTX_set_tlsext_servername_callback(ctx_, RecordServerName);
    SSL_CTX_set_tlsext_servername_arg(ctx_, this);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
}

TTlsPeer::~TTlsPeer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    ERR_clear_error();
}

void TTlsPeer::Feed(const std::string& data) {
    if (!data.empty()) BIO_write(in_, data.data(), static_cast<int>(data.size()));
}

std::string TTlsPeer::TakeOutput() {
    std::string out;
    char buffer[16384];
    int n;
    while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

bool TTlsPeer::Step() {
    if (failed_) return false;
    ERR_clear_error();
    if (!SSL_is_init_finished(ssl_)) {
        int r = SSL_do_handshake(ssl_);
        if (r != 1) {
            int e = SSL_get_error(ssl_, r);
            if (e != SSL_ERROR_WANT_READ) failed_ = true;
            ERR_clear_error();
            return !failed_;
        }
    }
    char buffer[16384];
    for (;;) {
        std::size_t got = 0;
        int r = SSL_read_ex(ssl_, buffer, sizeof buffer, &got);
        if (r == 1) {
            Received.append(buffer, got);
            continue;
        }
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_ZERO_RETURN)
            sawCloseNotify_ = true;
        else if (e != SSL_ERROR_WANT_READ)
            failed_ = true;
        break;
    }
    ERR_clear_error();
    return !failed_;
}

void TTlsPeer::Write(const std::string& data, std::size_t recordSize) {
    for (std::size_t at = 0; at < data.size(); at += recordSize) {
        std::size_t n = std::min(recordSize, data.size() - at);
        std::size_t written = 0;
        if (SSL_write_ex(ssl_, data.data() + at, n, &written) != 1)
            throw std::runtime_error("TLS peer: write");
    }
}

void TTlsPeer::Shutdown() {
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

bool TTlsPeer::HandshakeDone() const {
    return SSL_is_init_finished(ssl_);
}

void TTlsPeer::Exchange(net::TTlsSession& client) {
    for (int round = 0; round < 50; ++round) {
        std::string toServer;
        client.TakeOutput(toServer);
        Feed(toServer);
        Step();
        std::string toClient = TakeOutput();
        if (toServer.empty() && toClient.empty()) return;
        client.Feed(toClient.data(), toClient.size());
    }
}

}  // namespace testsupport
