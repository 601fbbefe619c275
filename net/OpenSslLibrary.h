// OpenSSL, loaded when the first TLS session needs it instead of linked
// into the programs. A run that only speaks plain HTTP then never maps
// libssl and libcrypto, which cost more than a megabyte of resident memory
// and their start-up work just by being loaded.
//
// The library is opened once (libssl.so.3, which brings libcrypto with it)
// and every function the TLS session calls is resolved at that moment into
// the table below, all or nothing: a missing library or symbol leaves TLS
// unavailable, with the loader's own words as the reason, and plain HTTP
// keeps working. The library stays loaded until the process ends.
//
// OpenSSL's macros that expand to its control calls (SSL_ctrl, SSL_CTX_ctrl,
// BIO_ctrl, SSL_get_ex_data...) are written by the caller as those calls,
// through the table. The headers are used for the types and constants only.
//
// Loading takes a lock, so any thread may ask; the table itself is filled
// before the first successful return and never changes while sessions use it.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

namespace net {

// Every OpenSSL function the TLS session calls, each by its exported name.
#define SENTREL_OPENSSL_FUNCTIONS(X)       \
    X(OPENSSL_init_ssl)                    \
    X(TLS_client_method)                   \
    X(SSL_CTX_new)                         \
    X(SSL_CTX_free)                        \
    X(SSL_CTX_up_ref)                      \
    X(SSL_CTX_ctrl)                        \
    X(SSL_CTX_set_verify)                  \
    X(SSL_CTX_get_cert_store)              \
    X(SSL_CTX_sess_set_new_cb)             \
    X(SSL_SESSION_free)                    \
    X(SSL_SESSION_is_resumable)            \
    X(SSL_new)                             \
    X(SSL_free)                            \
    X(SSL_ctrl)                            \
    X(SSL_get_ex_data)                     \
    X(SSL_set_ex_data)                     \
    X(SSL_get_SSL_CTX)                     \
    X(SSL_set_bio)                         \
    X(SSL_set_connect_state)               \
    X(SSL_get0_param)                      \
    X(SSL_set1_host)                       \
    X(SSL_set_session)                     \
    X(SSL_do_handshake)                    \
    X(SSL_get_error)                       \
    X(SSL_read_ex)                         \
    X(SSL_write_ex)                        \
    X(SSL_shutdown)                        \
    X(SSL_session_reused)                  \
    X(SSL_get_version)                     \
    X(SSL_get_verify_result)               \
    X(SSL_get0_peer_certificate)           \
    X(BIO_s_mem)                           \
    X(BIO_new)                             \
    X(BIO_free)                            \
    X(BIO_write)                           \
    X(BIO_read)                            \
    X(BIO_ctrl)                            \
    X(BIO_ctrl_pending)                    \
    X(ERR_get_error)                       \
    X(ERR_peek_error)                      \
    X(ERR_clear_error)                     \
    X(ERR_reason_error_string)             \
    X(ERR_error_string_n)                  \
    X(X509_get_default_cert_file_env)      \
    X(X509_get_default_cert_dir_env)       \
    X(X509_get_default_cert_file)          \
    X(X509_get_default_cert_dir)           \
    X(X509_STORE_add_lookup)               \
    X(X509_LOOKUP_hash_dir)                \
    X(X509_LOOKUP_ctrl)                    \
    X(X509_LOOKUP_meth_new)                \
    X(X509_LOOKUP_meth_set_get_by_subject) \
    X(X509_LOOKUP_meth_set_free)           \
    X(X509_LOOKUP_set_method_data)         \
    X(X509_LOOKUP_get_method_data)         \
    X(X509_LOOKUP_get_store)               \
    X(X509_load_cert_crl_file)             \
    X(X509_STORE_lock)                     \
    X(X509_STORE_unlock)                   \
    X(X509_STORE_get0_objects)             \
    X(X509_OBJECT_retrieve_by_subject)     \
    X(X509_OBJECT_get0_X509)               \
    X(X509_OBJECT_set1_X509)               \
    X(X509_free)                           \
    X(X509_VERIFY_PARAM_set_hostflags)     \
    X(X509_VERIFY_PARAM_set1_ip_asc)       \
    X(X509_get0_notAfter)                  \
    X(X509_verify_cert_error_string)       \
    X(ASN1_TIME_to_tm)

// Typed pointers to the functions above, named as OpenSSL names them.
struct TOpenSsl {
#define SENTREL_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
    SENTREL_OPENSSL_FUNCTIONS(SENTREL_OPENSSL_POINTER)
#undef SENTREL_OPENSSL_POINTER
};

// The name the library is opened by.
inline constexpr const char* kOpenSslSoname = "libssl.so.3";

// Opens the library and makes it ready (its error strings loaded) at the
// first call; later calls return the outcome of that one. True when TLS can
// be used; otherwise reason holds why, as the loader gives it ("cannot load
// OpenSSL: libssl.so.3: cannot open shared object file: ...").
bool LoadOpenSsl(std::string& reason);

// The functions, filled by the first LoadOpenSsl that returned true; only
// to be called after one did.
const TOpenSsl& OpenSsl();

// For tests: loads from soname as if it were the first load. A failure
// makes TLS unavailable with its reason but keeps the functions a previous
// load resolved (sessions and contexts made with them still free through
// them); loading the real library again makes TLS available once more.
void ReloadOpenSslForTest(const char* soname);

}  // namespace net
