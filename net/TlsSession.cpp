#include "net/TlsSession.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>

#include "net/OpenSslLibrary.h"
#include "net/Url.h"

namespace net {

namespace {

// The client context every session starts from. Loading the trust store
// costs more than a handshake, so it is built once and kept while the
// variables that point OpenSSL at the store keep their values; a change
// (tests trust their own authority through SSL_CERT_FILE) builds a new one.
// Sessions hold their own reference, so replacing it never pulls the rug
// from under a running connection. Freed at exit, before OpenSSL's own
// clean-up, which was registered earlier (the library is loaded before the
// first context is made, and never unloaded).
//
// The cache also keeps the last session each server gave us, by the key the
// owner chose (host and port), so that the next connection to it resumes
// instead of doing the full handshake. Sessions only come from handshakes
// that verified the server for that name, and are dropped with the context.
struct ClientContextCache {
    std::string certFile;
    std::string certDir;
    SSL_CTX* ctx = nullptr;
    std::map<std::string, SSL_SESSION*> sessions;

    void DropSessions() {
        for (auto& [key, session] : sessions) OpenSsl().SSL_SESSION_free(session);
        sessions.clear();
    }
    ~ClientContextCache() {
        if (ctx == nullptr) return;  // OpenSSL was never used, or never loaded
        DropSessions();
        OpenSsl().SSL_CTX_free(ctx);
    }
};

// More servers than a pool holds, with room for redirections.
constexpr std::size_t kMaxCachedSessions = 64;

ClientContextCache& Cache() {
    static ClientContextCache cache;
    return cache;
}

// OpenSSL hands over each new session (TLS 1.3 sends them after the
// handshake, as tickets); the session that asked for caching keeps it.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    const TOpenSsl& lib = OpenSsl();
    // The application data slot (SSL_get_app_data) holds the session's key.
    const auto* key = static_cast<const std::string*>(lib.SSL_get_ex_data(ssl, 0));
    if (key == nullptr || key->empty() || !lib.SSL_SESSION_is_resumable(session)) return 0;
    ClientContextCache& cache = Cache();
    if (lib.SSL_get_SSL_CTX(ssl) != cache.ctx) return 0;  // made by a context that was replaced
    auto it = cache.sessions.find(*key);
    if (it != cache.sessions.end()) {
        lib.SSL_SESSION_free(it->second);
        it->second = session;
    } else {
        if (cache.sessions.size() >= kMaxCachedSessions) {
            lib.SSL_SESSION_free(cache.sessions.begin()->second);
            cache.sessions.erase(cache.sessions.begin());
        }
        cache.sessions.emplace(*key, session);
    }
    return 1;  // the cache owns it now
}

std::string EnvValue(const char* name) {
    const char* value = std::getenv(name);
    // A marker no real value holds tells "unset" from "set to empty".
    return value ? std::string(value) : std::string("\x01");
}

// A bundle file of trusted certificates read only when a verification
// needs an issuer that the folder lookup before it did not find: reading
// it whole costs more CPU than a handshake and keeps more than a MiB, for
// some 150 certificates of which one is used.
struct TLazyFile {
    std::string name;
    bool read = false;
};

int LazyFileBySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* ret) {
    const TOpenSsl& lib = OpenSsl();
    auto* file = static_cast<TLazyFile*>(lib.X509_LOOKUP_get_method_data(lookup));
    if (file == nullptr || type != X509_LU_X509) return 0;
    if (!file->read) {
        file->read = true;
        // A file that is missing or unreadable adds nothing; the
        // verification says what it could not find.
        lib.X509_load_cert_crl_file(lookup, file->name.c_str(), X509_FILETYPE_PEM);
        lib.ERR_clear_error();
    }
    // What the file added is in the store now; the caller takes its own
    // reference to what is returned, as with OpenSSL's own lookups.
    X509_STORE* store = lib.X509_LOOKUP_get_store(lookup);
    if (!lib.X509_STORE_lock(store)) return 0;
    X509_OBJECT* found = lib.X509_OBJECT_retrieve_by_subject(lib.X509_STORE_get0_objects(store), type, name);
    X509* cert = found ? lib.X509_OBJECT_get0_X509(found) : nullptr;
    const bool set = cert != nullptr && lib.X509_OBJECT_set1_X509(ret, cert) == 1;
    lib.X509_STORE_unlock(store);
    if (set) lib.X509_free(cert);  // the store's reference stands for it
    return set ? 1 : 0;
}

void LazyFileFree(X509_LOOKUP* lookup) {
    delete static_cast<TLazyFile*>(OpenSsl().X509_LOOKUP_get_method_data(lookup));
}

X509_LOOKUP_METHOD* LazyFileMethod() {
    static X509_LOOKUP_METHOD* method = [] {
        const TOpenSsl& lib = OpenSsl();
        X509_LOOKUP_METHOD* m = lib.X509_LOOKUP_meth_new("sentrel: bundle file read when needed");
        if (m != nullptr) {
            lib.X509_LOOKUP_meth_set_get_by_subject(m, LazyFileBySubject);
            lib.X509_LOOKUP_meth_set_free(m, LazyFileFree);
        }
        return m;
    }();
    return method;
}

// The trust store OpenSSL's default paths name (SSL_CERT_FILE and
// SSL_CERT_DIR when set): the folder first, searched by hashed name as a
// verification needs an issuer (one certificate read per search), then the
// bundle file, read the first time the folder lacks an issuer. A file or
// folder that is missing fails nothing here: the verification says what it
// could not find.
bool LoadTrustStore(SSL_CTX* ctx) {
    const TOpenSsl& lib = OpenSsl();
    const char* fileNamed = std::getenv(lib.X509_get_default_cert_file_env());
    const char* dirsNamed = std::getenv(lib.X509_get_default_cert_dir_env());
    X509_STORE* store = lib.SSL_CTX_get_cert_store(ctx);
    X509_LOOKUP* byName = lib.X509_STORE_add_lookup(store, lib.X509_LOOKUP_hash_dir());
    X509_LOOKUP_METHOD* lazy = LazyFileMethod();
    X509_LOOKUP* whole = lazy ? lib.X509_STORE_add_lookup(store, lazy) : nullptr;
    if (byName == nullptr || whole == nullptr) return false;
    // X509_LOOKUP_add_dir
    const std::string dirs = dirsNamed ? dirsNamed : lib.X509_get_default_cert_dir();
    lib.X509_LOOKUP_ctrl(byName, X509_L_ADD_DIR, dirs.c_str(), X509_FILETYPE_PEM, nullptr);
    auto* file = new TLazyFile{fileNamed ? fileNamed : lib.X509_get_default_cert_file()};
    if (lib.X509_LOOKUP_set_method_data(whole, file) != 1) {
        delete file;
        return false;
    }
    lib.ERR_clear_error();
    return true;
}

// Returns a new reference to the shared client context, or null with the
// reason in error.
SSL_CTX* AcquireClientContext(std::string& error) {
    const TOpenSsl& lib = OpenSsl();
    ClientContextCache& cache = Cache();
    std::string certFile = EnvValue(lib.X509_get_default_cert_file_env());
    std::string certDir = EnvValue(lib.X509_get_default_cert_dir_env());
    if (cache.ctx == nullptr || cache.certFile != certFile || cache.certDir != certDir) {
        SSL_CTX* ctx = lib.SSL_CTX_new(lib.TLS_client_method());
        if (ctx == nullptr) {
            error = "cannot create the TLS context";
            return nullptr;
        }
        // SSL_CTX_set_min_proto_version
        lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
        lib.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        if (!LoadTrustStore(ctx)) {
            lib.SSL_CTX_free(ctx);
            error = "cannot load the trust store";
            return nullptr;
        }
        // SSL_CTX_set_session_cache_mode
        lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE,
                         SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
        lib.SSL_CTX_sess_set_new_cb(ctx, KeepNewSession);
        cache.DropSessions();
        if (cache.ctx != nullptr) lib.SSL_CTX_free(cache.ctx);
        cache.ctx = ctx;
        cache.certFile = std::move(certFile);
        cache.certDir = std::move(certDir);
    }
    lib.SSL_CTX_up_ref(cache.ctx);
    return cache.ctx;
}

// The reason text of an OpenSSL error code, as its error strings give it.
std::string ReasonOf(unsigned long code) {
    if (const char* reason = OpenSsl().ERR_reason_error_string(code)) return reason;
    char text[256];
    OpenSsl().ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char addr[16];
    return inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// The notAfter time of the verified peer's own certificate, in seconds
// since the epoch; 0 when there is none to read.
std::int64_t LeafExpiry(const SSL* ssl) {
    const TOpenSsl& lib = OpenSsl();
    X509* cert = lib.SSL_get0_peer_certificate(ssl);
    struct tm tm {};
    if (cert == nullptr || lib.ASN1_TIME_to_tm(lib.X509_get0_notAfter(cert), &tm) != 1) return 0;
    return static_cast<std::int64_t>(timegm(&tm));
}

}  // namespace

bool TlsInit() {
    std::string reason;
    return LoadOpenSsl(reason);
}

TTlsSession::~TTlsSession() {
    Free();
}

void TTlsSession::Free() {
    if (ssl_ != nullptr) OpenSsl().SSL_free(ssl_);  // frees both memory BIOs with it
    ssl_ = nullptr;
    in_ = nullptr;
    out_ = nullptr;
}

void TTlsSession::Reset() {
    Free();
    state_ = tlsIdle;
    handshakeDone_ = false;
    peerClosedCleanly_ = false;
    shutdownWanted_ = false;
    pending_.clear();
    errorText_.clear();
    peerExpiry_ = 0;
}

bool TTlsSession::Start(const std::string& hostName, const std::string& sessionKey) {
    Reset();
    sessionKey_ = sessionKey;
    state_ = tlsHandshaking;
    std::string reason;
    if (!LoadOpenSsl(reason)) {
        FailWith("TLS: " + reason);
        return false;
    }
    const TOpenSsl& lib = OpenSsl();
    lib.ERR_clear_error();

    const std::string host = WithoutBrackets(hostName);
    if (host.empty()) {
        // OpenSSL would take an empty name as "check no name at all".
        FailWith("TLS: no host name to verify");
        return false;
    }

    std::string error;
    SSL_CTX* ctx = AcquireClientContext(error);
    if (ctx == nullptr) {
        FailWith("TLS: " + error);
        return false;
    }
    ssl_ = lib.SSL_new(ctx);
    lib.SSL_CTX_free(ctx);  // the session keeps its own reference
    in_ = lib.BIO_new(lib.BIO_s_mem());
    out_ = lib.BIO_new(lib.BIO_s_mem());
    if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
        lib.BIO_free(in_);
        lib.BIO_free(out_);
        in_ = out_ = nullptr;
        FailWith("TLS: cannot create the session");
        return false;
    }
    // An empty input means "wait for more" until the peer has closed
    // (BIO_set_mem_eof_return).
    lib.BIO_ctrl(in_, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    lib.SSL_set_bio(ssl_, in_, out_);
    lib.SSL_set_connect_state(ssl_);

    X509_VERIFY_PARAM* param = lib.SSL_get0_param(ssl_);
    lib.X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // A name goes out as server name indication (SSL_set_tlsext_host_name).
    bool named = IsAddressLiteral(host)
                     ? lib.X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                     : lib.SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                    const_cast<char*>(host.c_str())) == 1 &&
                           lib.SSL_set1_host(ssl_, host.c_str()) == 1;
    if (!named) {
        FailWith("TLS: cannot use the host name " + host);
        return false;
    }
    if (!sessionKey_.empty()) {
        lib.SSL_set_ex_data(ssl_, 0, &sessionKey_);  // SSL_set_app_data, read by KeepNewSession
        auto it = Cache().sessions.find(sessionKey_);
        if (it != Cache().sessions.end()) lib.SSL_set_session(ssl_, it->second);
    }
    Handshake();
    return state_ != tlsFailed;
}

void TTlsSession::Handshake() {
    const TOpenSsl& lib = OpenSsl();
    lib.ERR_clear_error();
    int result = lib.SSL_do_handshake(ssl_);
    if (result == 1) {
        handshakeDone_ = true;
        state_ = tlsOpen;
        peerExpiry_ = LeafExpiry(ssl_);
        FlushPending();
        return;
    }
    int error = lib.SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
    Fail(error);
}

void TTlsSession::FlushPending() {
    if (!pending_.empty()) {
        std::string data;
        data.swap(pending_);
        Write(data.data(), data.size());
    }
    if (shutdownWanted_ && state_ == tlsOpen) Shutdown();
}

void TTlsSession::Feed(const char* data, std::size_t len) {
    if (state_ != tlsHandshaking && state_ != tlsOpen && state_ != tlsShuttingDown) return;
    while (len > 0) {
        int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
        int written = OpenSsl().BIO_write(in_, data, chunk);
        if (written <= 0) {
            FailWith("TLS: cannot buffer the received data");
            return;
        }
        data += written;
        len -= static_cast<std::size_t>(written);
    }
    if (state_ == tlsHandshaking) Handshake();
}

void TTlsSession::FeedEof() {
    if (state_ != tlsHandshaking && state_ != tlsOpen && state_ != tlsShuttingDown) return;
    OpenSsl().BIO_ctrl(in_, BIO_C_SET_BUF_MEM_EOF_RETURN, 0, nullptr);  // BIO_set_mem_eof_return
    if (state_ == tlsHandshaking) Handshake();
}

std::size_t TTlsSession::Read(char* buffer, std::size_t size) {
    if ((state_ != tlsOpen && state_ != tlsShuttingDown) || size == 0) return 0;
    const TOpenSsl& lib = OpenSsl();
    lib.ERR_clear_error();
    std::size_t got = 0;
    int result = lib.SSL_read_ex(ssl_, buffer, size, &got);
    if (result == 1) return got;
    int error = lib.SSL_get_error(ssl_, result);
    switch (error) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: return 0;
        case SSL_ERROR_ZERO_RETURN: PeerEnded(true); return 0;
        case SSL_ERROR_SYSCALL:
            // The memory input reported its end with nothing in OpenSSL's queue.
            if (lib.ERR_peek_error() == 0) {
                PeerEnded(false);
                return 0;
            }
            break;
        case SSL_ERROR_SSL:
            if (ERR_GET_REASON(lib.ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                PeerEnded(false);
                return 0;
            }
            break;
        default: break;
    }
    Fail(error);
    return 0;
}

void TTlsSession::PeerEnded(bool clean) {
    const TOpenSsl& lib = OpenSsl();
    lib.ERR_clear_error();
    peerClosedCleanly_ = clean;
    bool answered = state_ == tlsShuttingDown;
    state_ = tlsClosed;
    // A peer that said goodbye properly gets ours in return.
    if (clean && !answered) lib.SSL_shutdown(ssl_);
    lib.ERR_clear_error();
}

void TTlsSession::Write(const char* data, std::size_t len) {
    if (len == 0) return;
    if (state_ == tlsHandshaking) {
        pending_.append(data, len);
        return;
    }
    if (state_ != tlsOpen) return;
    const TOpenSsl& lib = OpenSsl();
    lib.ERR_clear_error();
    // The output is memory that grows, so a write never stops half-way.
    std::size_t written = 0;
    int result = lib.SSL_write_ex(ssl_, data, len, &written);
    if (result != 1) Fail(lib.SSL_get_error(ssl_, result));
}

void TTlsSession::Shutdown() {
    if (state_ == tlsHandshaking) {
        shutdownWanted_ = true;
        return;
    }
    if (state_ != tlsOpen) return;
    const TOpenSsl& lib = OpenSsl();
    lib.ERR_clear_error();
    lib.SSL_shutdown(ssl_);
    lib.ERR_clear_error();
    state_ = tlsShuttingDown;
}

bool TTlsSession::HasOutput() const {
    return out_ != nullptr && OpenSsl().BIO_ctrl_pending(out_) > 0;
}

std::size_t TTlsSession::TakeOutput(std::string& out) {
    if (out_ == nullptr) return 0;
    const TOpenSsl& lib = OpenSsl();
    std::size_t total = 0;
    while (std::size_t pending = lib.BIO_ctrl_pending(out_)) {
        int chunk = pending > INT_MAX ? INT_MAX : static_cast<int>(pending);
        std::size_t old = out.size();
        out.resize(old + static_cast<std::size_t>(chunk));
        int got = lib.BIO_read(out_, out.data() + old, chunk);
        out.resize(old + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got <= 0) break;
        total += static_cast<std::size_t>(got);
    }
    return total;
}

bool TTlsSession::Resumed() const {
    return handshakeDone_ && ssl_ && OpenSsl().SSL_session_reused(ssl_) == 1;
}

std::string TTlsSession::Protocol() const {
    return handshakeDone_ && ssl_ ? OpenSsl().SSL_get_version(ssl_) : "";
}

void TTlsSession::Fail(int sslError) {
    // The TLS library's own entry names the cause; entries of the crypto
    // library before it are its details (a key that did not match, say).
    const TOpenSsl& lib = OpenSsl();
    unsigned long code = 0;
    unsigned long last = 0;
    while (unsigned long e = lib.ERR_get_error()) {
        last = e;
        if (ERR_GET_LIB(e) == ERR_LIB_SSL) code = e;
    }
    if (code == 0) code = last;
    std::string text;
    if (code == 0) {
        // Nothing queued: with memory input that is the peer's end arriving
        // in the middle of a handshake or record.
        text = sslError == SSL_ERROR_SYSCALL
                   ? ReasonOf(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_UNEXPECTED_EOF_WHILE_READING))
                   : "error " + std::to_string(sslError);
    } else {
        text = ReasonOf(code);
        if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            long verify = lib.SSL_get_verify_result(ssl_);
            if (verify != X509_V_OK) text += std::string(": ") + lib.X509_verify_cert_error_string(verify);
        }
    }
    FailWith("TLS: " + text);
}

void TTlsSession::FailWith(const std::string& text) {
    state_ = tlsFailed;
    errorText_ = text;
    pending_.clear();
}

}  // namespace net
