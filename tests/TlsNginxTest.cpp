// The TLS session against a real nginx, driven over a plain blocking socket:
// what nginx and OpenSSL's server do on the wire (its close_notify, its
// record sizes, its alerts) is what the session must live with.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "net/TlsSession.h"
#include "tests/support/NginxTls.h"
#include "tests/support/TestCa.h"

using net::TTlsSession;
using testsupport::TCertFiles;
using testsupport::TNginxTls;
using testsupport::TTestCa;

namespace {

struct Fetched {
    std::string reply;
    std::string error;
    bool cleanEnd = false;
    bool timedOut = false;
    bool resumed = false;
    std::int64_t expiry = 0;  // of the server's certificate
};

// GET path over TLS from 127.0.0.1:port, naming host; every wait is bounded.
Fetched Fetch(int port, const std::string& host, const std::string& path, const std::string& key = "") {
    Fetched f;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        f.error = "connect";
        return f;
    }
    TTlsSession tls;
    tls.Start(host, key);
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
    tls.Write(request.data(), request.size());
    char buffer[65536];
    for (;;) {
        std::string out;
        tls.TakeOutput(out);
        if (!out.empty()) send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        while (std::size_t n = tls.Read(buffer, sizeof buffer)) f.reply.append(buffer, n);
        if (tls.State() == net::tlsFailed || tls.State() == net::tlsClosed) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            f.timedOut = true;
            break;
        }
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got > 0)
            tls.Feed(buffer, static_cast<std::size_t>(got));
        else
            tls.FeedEof();
    }
    std::string out;
    tls.TakeOutput(out);
    if (!out.empty()) send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    close(fd);
    f.error = tls.ErrorText();
    f.cleanEnd = tls.PeerClosedCleanly();
    f.resumed = tls.Resumed();
    f.expiry = tls.PeerCertificateExpiry();
    return f;
}

class TlsNginxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ca = new TTestCa;
        nginx = new TNginxTls;
        good = nginx->AddTlsServer(ca->Issue("good", TTestCa::Localhost()));
        wrongName = nginx->AddTlsServer(ca->Issue("wrongname", {"DNS:wrong.example"}));
        expired = nginx->AddTlsServer(ca->Issue("expired", TTestCa::Localhost(), -30, -1));
        selfSigned = nginx->AddTlsServer(ca->SelfSigned("selfsigned", TTestCa::Localhost()));
        smallRecords =
            nginx->AddTlsServer(ca->Issue("small", TTestCa::Localhost()), "    ssl_buffer_size 512;");
        nginx->AddFile("/index.html", "<html>hello over TLS</html>\n");
        big.reserve(3 << 20);
        for (int i = 0; big.size() < (3u << 20); ++i) big += "row " + std::to_string(i) + "\n";
        nginx->AddFile("/big.txt", big);
        nginx->Start();
    }
    static void TearDownTestSuite() {
        delete nginx;
        delete ca;
    }
    void SetUp() override {
        setenv("SSL_CERT_FILE", ca->CaFile().c_str(), 1);
        setenv("SSL_CERT_DIR", ca->Dir().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
    }
    static std::string Body(const std::string& reply) {
        std::size_t at = reply.find("\r\n\r\n");
        return at == std::string::npos ? "" : reply.substr(at + 4);
    }

    static inline TTestCa* ca = nullptr;
    static inline TNginxTls* nginx = nullptr;
    static inline int good = 0, wrongName = 0, expired = 0, selfSigned = 0, smallRecords = 0;
    static inline std::string big;
};

TEST_F(TlsNginxTest, TrustedCertificateGivesThePage) {
    Fetched f = Fetch(nginx->Port(good), "localhost", "/index.html");
    EXPECT_EQ(f.error, "");
    EXPECT_FALSE(f.timedOut);
    EXPECT_EQ(f.reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << f.reply;
    EXPECT_EQ(Body(f.reply), "<html>hello over TLS</html>\n");
    EXPECT_TRUE(f.cleanEnd);  // nginx says goodbye with a close_notify
}

TEST_F(TlsNginxTest, SessionsResumeByKeyOnly) {
    const std::string key = "localhost:" + std::to_string(nginx->Port(good));
    const struct {
        const char* word;
        std::string key;
        bool resumed;
    } steps[] = {
        {"first contact", key, false},       {"same key", key, true},
        {"another key", key + "0", false},   {"no key never caches", "", false},
        {"no key never resumes", "", false}, {"first key again", key, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.word);
        Fetched f = Fetch(nginx->Port(good), "localhost", "/index.html", step.key);
        EXPECT_EQ(f.resumed, step.resumed);
        EXPECT_EQ(Body(f.reply), "<html>hello over TLS</html>\n");
        // The certificate was issued for 30 days: a resumed session knows its expiry too.
        EXPECT_NEAR(static_cast<double>(f.expiry), static_cast<double>(std::time(nullptr) + 30 * 86400),
                    3600.0);
    }
}

TEST_F(TlsNginxTest, ResumptionNeverOutlivesTheTrustThatVerifiedIt) {
    const std::string key = "localhost:trust";
    Fetch(nginx->Port(good), "localhost", "/index.html", key);
    ASSERT_TRUE(Fetch(nginx->Port(good), "localhost", "/index.html", key).resumed);
    // The store no longer trusts the CA: a cached session must not let the
    // server in without a look at its certificate.
    TTestCa other;
    setenv("SSL_CERT_FILE", other.CaFile().c_str(), 1);
    Fetched f = Fetch(nginx->Port(good), "localhost", "/index.html", key);
    EXPECT_FALSE(f.resumed);
    EXPECT_EQ(f.error, "TLS: certificate verify failed: unable to get local issuer certificate");
}

// The trust store is a folder searched by hashed name and a bundle file,
// each found where SSL_CERT_DIR and SSL_CERT_FILE say: the CA in either one
// is enough, and a folder list is searched through.
TEST_F(TlsNginxTest, TheAuthorityIsFoundInTheFolderOrInTheFile) {
    const std::string folder = ca->Dir() + "/hashed";
    std::filesystem::create_directories(folder);
    {
        std::FILE* f = std::fopen(ca->CaFile().c_str(), "r");
        ASSERT_NE(f, nullptr);
        X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        ASSERT_NE(cert, nullptr);
        char name[16];
        std::snprintf(name, sizeof name, "%08lx.0",
                      X509_NAME_hash_ex(X509_get_subject_name(cert), nullptr, nullptr, nullptr));
        X509_free(cert);
        std::filesystem::remove(folder + "/" + name);
        std::filesystem::create_symlink(ca->CaFile(), folder + "/" + name);
    }
    const struct {
        const char* word;
        std::string file;
        std::string dir;
        const char* error;
    } rows[] = {
        {"the folder alone", "/nonexistent", folder, ""},
        {"the file alone", ca->CaFile(), "/nonexistent", ""},
        {"the folder second in a list", "/nonexistent", "/nonexistent:" + folder, ""},
        {"neither", "/nonexistent", "/nonexistent",
         "TLS: certificate verify failed: unable to get local issuer certificate"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.word);
        setenv("SSL_CERT_FILE", r.file.c_str(), 1);
        setenv("SSL_CERT_DIR", r.dir.c_str(), 1);
        Fetched f = Fetch(nginx->Port(good), "localhost", "/index.html");
        EXPECT_EQ(f.error, r.error);
        EXPECT_EQ(Body(f.reply), *r.error ? "" : "<html>hello over TLS</html>\n");
    }
}

TEST_F(TlsNginxTest, BadCertificatesFailWithTheirReason) {
    const struct {
        const char* word;
        int index;
        const char* host;
        const char* error;
    } cases[] = {
        {"name mismatch", wrongName, "localhost", "TLS: certificate verify failed: hostname mismatch"},
        {"expired", expired, "localhost", "TLS: certificate verify failed: certificate has expired"},
        {"self-signed", selfSigned, "localhost", "TLS: certificate verify failed: self-signed certificate"},
        {"address not named", good, "127.0.0.2", "TLS: certificate verify failed: IP address mismatch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        Fetched f = Fetch(nginx->Port(c.index), c.host, "/index.html");
        EXPECT_EQ(f.error, c.error);
        EXPECT_EQ(f.reply, "");
        EXPECT_FALSE(f.timedOut);
    }
}

TEST_F(TlsNginxTest, BodyInManySmallRecordsArrivesWhole) {
    for (int index : {good, smallRecords}) {
        Fetched f = Fetch(nginx->Port(index), "localhost", "/big.txt");
        EXPECT_EQ(f.error, "");
        std::string body = Body(f.reply);
        EXPECT_EQ(body.size(), big.size());
        EXPECT_TRUE(body == big);
    }
}

}  // namespace
