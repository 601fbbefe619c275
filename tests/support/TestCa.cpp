#include "tests/support/TestCa.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace testsupport {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test CA: cannot ") + what);
}

KeyPtr NewKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "make a key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Check(ext != nullptr, "build an extension");
    int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    Check(added == 1, "add an extension");
}

// A certificate for key with common name cn, not yet signed; issuer null
// makes it its own issuer.
X509Ptr NewCert(EVP_PKEY* key, const std::string& cn, X509* issuer, long fromDays, long toDays) {
    X509Ptr cert(X509_new());
    Check(cert != nullptr, "make a certificate");
    X509_set_version(cert.get(), 2);
    unsigned char serial[8];
    Check(RAND_bytes(serial, sizeof serial) == 1, "draw a serial number");
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    Check(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr,
          "set the serial");
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400L);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Sentrel tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    return cert;
}

std::string Join(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ",") + n;
    return text;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    Check(f != nullptr, "create a PEM file");
    bool ok = cert ? PEM_write_X509(f, cert) == 1
                   : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = std::fclose(f) == 0 && ok;
    Check(ok, "write a PEM file");
}

TCertFiles ServerCert(const std::string& dir, const std::string& name,
                      const std::vector<std::string>& altNames, X509* caCert, EVP_PKEY* caKey, long fromDays,
                      long toDays) {
    KeyPtr key = NewKey();
    std::string cn = altNames.empty() ? name : altNames.front().substr(altNames.front().find(':') + 1);
    X509Ptr cert = NewCert(key.get(), cn, caCert, fromDays, toDays);
    X509* issuer = caCert ? caCert : cert.get();
    AddExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    if (!altNames.empty()) AddExtension(cert.get(), issuer, NID_subject_alt_name, Join(altNames));
    Check(X509_sign(cert.get(), caKey ? caKey : key.get(), EVP_sha256()) > 0, "sign a certificate");
    TCertFiles files{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
    WritePem(files.Cert, cert.get(), nullptr);
    WritePem(files.Key, nullptr, key.get());
    return files;
}

}  // namespace

TTestCa::TTestCa() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sentrel-ca-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr, "make a temporary folder");
    dir_ = pattern;
    KeyPtr key = NewKey();
    // Each CA gets a name of its own, so that one CA is never taken for another.
    std::string name = "Sentrel test CA " + std::filesystem::path(dir_).filename().string();
    X509Ptr cert = NewCert(key.get(), name, nullptr, -1, 365);
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "sign the CA certificate");
    WritePem(CaFile(), cert.get(), nullptr);
    caKey_ = key.release();
    caCert_ = cert.release();
}

TTestCa::~TTestCa() {
    X509_free(caCert_);
    EVP_PKEY_free(caKey_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

TCertFiles TTestCa::Issue(const std::string& name, const std::vector<std::string>& altNames,
                          long validFromDays, long validToDays) {
    return ServerCert(dir_, name, altNames, caCert_, caKey_, validFromDays, validToDays);
}

TCertFiles TTestCa::SelfSigned(const std::string& name, const std::vector<std::string>& altNames) {
    return ServerCert(dir_, name, altNames, nullptr, nullptr, -1, 30);
}

}  // namespace testsupport
