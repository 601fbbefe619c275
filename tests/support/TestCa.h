// TTestCa: a certificate authority made for one test run. It creates a
// temporary folder, a CA key and certificate in it, and on request server
// certificates signed by that CA (valid, expired, naming other hosts) or
// signed by themselves, each written as PEM files beside the CA. Trusting
// the CA is the test's business: point SSL_CERT_FILE at CaFile().
//
// Keys are P-256, quick to make even under the sanitizers. The folder and
// everything in it are removed when the object goes.
#pragma once

#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace testsupport {

struct TCertFiles {
    std::string Cert;  // PEM certificate
    std::string Key;   // PEM private key
};

class TTestCa {
public:
    // Makes the folder and the CA; throws std::runtime_error on failure.
    TTestCa();
    ~TTestCa();
    TTestCa(const TTestCa&) = delete;
    TTestCa& operator=(const TTestCa&) = delete;

    const std::string& Dir() const { return dir_; }
    // The CA certificate, for SSL_CERT_FILE.
    std::string CaFile() const { return dir_ + "/ca.pem"; }

    // A server certificate signed by the CA, for the subject alternative
    // names given ("DNS:localhost", "IP:127.0.0.1"), valid from validFromDays
    // to validToDays after now (negative days lie in the past). Written as
    // <name>.pem and <name>.key.
    TCertFiles Issue(const std::string& name, const std::vector<std::string>& altNames,
                     long validFromDays = -1, long validToDays = 30);
    // A server certificate signed by its own key, that no store trusts.
    TCertFiles SelfSigned(const std::string& name, const std::vector<std::string>& altNames);
    // The names most tests want: localhost and 127.0.0.1.
    static std::vector<std::string> Localhost() { return {"DNS:localhost", "IP:127.0.0.1"}; }

private:
    std::string dir_;
    EVP_PKEY* caKey_ = nullptr;
    X509* caCert_ = nullptr;
};

}  // namespace testsupport
