// TTlsSession: the client side of one TLS connection, run entirely in
// memory. It never touches a socket: the owner feeds it the bytes that
// arrived from the peer, reads the plaintext they carry, writes plaintext
// to go out, and takes the ciphertext the session produced to send it. This
// keeps the socket layer as it is; the HTTP client sits on top of both and
// moves the bytes between them from its socket event handlers.
//
// A session speaks TLS 1.2 or newer, sends the host name as server name
// indication (not for an address literal), verifies the peer's chain against
// the system's trust store (OpenSSL's default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR are honoured) and checks that the certificate names the host
// (or the address). A failure is final: State becomes tlsFailed and
// ErrorText holds "TLS: " and the cause as OpenSSL gives it, for example
// "TLS: certificate verify failed: certificate has expired".
//
// Ownership: the session owns its OpenSSL objects; the contexts are shared
// between sessions and kept while the trust store settings stay the same.
// One thread; nothing here calls back into the owner, so every call returns
// with the session consistent and the owner decides what to do next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// OpenSSL's own types, so that callers need not include its headers.
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace net {

enum TTlsState : std::uint8_t {
    tlsIdle,          // nothing started, or Reset
    tlsHandshaking,   // Start called, handshake running
    tlsOpen,          // handshake done and verified; data flows both ways
    tlsShuttingDown,  // our close_notify is queued; the peer may still send
    tlsClosed,        // the peer ended the stream (cleanly or not, see PeerClosedCleanly)
    tlsFailed,        // handshake, verification or record failure; see ErrorText
};

// Loads OpenSSL and its error strings at the first call (net/OpenSslLibrary.h:
// the programs do not link it, so plain HTTP never loads it). Every session
// does this as it starts; calling it again costs nothing. False when
// OpenSSL cannot be loaded: then every session fails at Start with
// ErrorText "TLS: cannot load OpenSSL: " and the loader's reason.
bool TlsInit();

class TTlsSession {
public:
    TTlsSession() = default;
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // Drops any earlier connection and starts the handshake toward hostName,
    // a DNS name or an address (an IPv6 address may keep its brackets). The
    // first flight is ready in the output at once. Returns false, with
    // State tlsFailed, when the session cannot even be set up.
    // A sessionKey (host and port, say) lets a later connection with the
    // same key resume this one's session, as browsers and curl do.
    bool Start(const std::string& hostName, const std::string& sessionKey = {});
    // Bytes received from the peer. The handshake advances as far as they
    // allow; plaintext they carry waits for Read.
    void Feed(const char* data, std::size_t len);
    // The peer closed its side. Before the handshake has ended that is a
    // failure; afterwards it ends the stream once the data before it has
    // been read, whether or not a close_notify came first.
    void FeedEof();
    // Copies up to size bytes of received plaintext into buffer and returns
    // the count; 0 when none is available now (State tells whether more may
    // come).
    std::size_t Read(char* buffer, std::size_t size);
    // Plaintext to send. Written before the handshake has ended, it is kept
    // and encrypted as soon as the session is open.
    void Write(const char* data, std::size_t len);
    // Starts an orderly close: queues our close_notify. Plaintext already
    // written goes out first.
    void Shutdown();
    // Drops the connection at once, without a close_notify.
    void Reset();

    // Ciphertext waiting to go to the peer.
    bool HasOutput() const;
    // Appends all waiting ciphertext to out and returns how many bytes.
    std::size_t TakeOutput(std::string& out);

    TTlsState State() const { return state_; }
    // True once the handshake has ended and the peer was verified.
    bool HandshakeDone() const { return handshakeDone_; }
    // True when the peer ended the stream with a close_notify.
    bool PeerClosedCleanly() const { return peerClosedCleanly_; }
    // "TLS: " and the cause of the failure; empty unless State is tlsFailed.
    const std::string& ErrorText() const { return errorText_; }
    // True when the handshake resumed a cached session.
    bool Resumed() const;
    // The protocol agreed on ("TLSv1.3"), empty before the handshake ends.
    std::string Protocol() const;
    // When the peer's own certificate (the leaf, not its issuers) stops
    // being valid, in seconds since the epoch; 0 before the handshake has
    // ended and after Reset. A resumed session reports the certificate the
    // server showed when the session was made.
    std::int64_t PeerCertificateExpiry() const { return peerExpiry_; }

private:
    // One function per event of the state machine.
    void Handshake();
    void FlushPending();
    void PeerEnded(bool clean);
    void Fail(int sslError);
    void FailWith(const std::string& text);
    void Free();

    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;   // ciphertext from the peer, read by OpenSSL
    BIO* out_ = nullptr;  // ciphertext OpenSSL wrote for the peer
    TTlsState state_ = tlsIdle;
    bool handshakeDone_ = false;
    bool peerClosedCleanly_ = false;
    bool shutdownWanted_ = false;
    std::string sessionKey_;
    std::string pending_;  // plaintext written before the session was open
    std::string errorText_;
    std::int64_t peerExpiry_ = 0;
};

}  // namespace net
