// The client's TLS session against an OpenSSL server held in memory: the
// verification outcomes, the server name, data split anyhow, the two ways a
// stream ends, and input that is not TLS at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "net/OpenSslLibrary.h"
#include "net/TlsSession.h"
#include "tests/support/TestCa.h"
#include "tests/support/TlsPeer.h"

#include <openssl/ssl.h>

using net::TTlsSession;
using testsupport::TCertFiles;
using testsupport::TTestCa;
using testsupport::TTlsPeer;

namespace {

// One CA and its certificates for the whole program: the keys take a moment.
struct Certs {
    TTestCa ca;
    TTestCa otherCa;  // trusted by nobody
    TCertFiles good = ca.Issue("good", TTestCa::Localhost());
    TCertFiles wrongName = ca.Issue("wrongname", {"DNS:wrong.example"});
    TCertFiles expired = ca.Issue("expired", TTestCa::Localhost(), -30, -1);
    TCertFiles notYet = ca.Issue("notyet", TTestCa::Localhost(), 2, 30);
    TCertFiles selfSigned = ca.SelfSigned("selfsigned", TTestCa::Localhost());
    TCertFiles foreign = otherCa.Issue("foreign", TTestCa::Localhost());
    TCertFiles wildcard = ca.Issue("wildcard", {"DNS:*.test.example"});
};

Certs& TheCerts() {
    static Certs* certs = new Certs;  // lives until the environment tears it down
    return *certs;
}

class TlsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { TheCerts(); }
    void TearDown() override { delete &TheCerts(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TlsEnvironment);

class TlsSessionTest : public ::testing::Test {
protected:
    void SetUp() override { Trust(TheCerts().ca.CaFile()); }
    void TearDown() override {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
    }
    // Only this file's CA is trusted, whatever the machine's store holds.
    static void Trust(const std::string& caFile) {
        setenv("SSL_CERT_FILE", caFile.c_str(), 1);
        setenv("SSL_CERT_DIR", TheCerts().ca.Dir().c_str(), 1);
    }
};

struct VerifyCase {
    const char* word;
    TCertFiles Certs::*cert;
    const char* host;
    const char* error;  // empty: the handshake succeeds
};

const VerifyCase kVerifyCases[] = {
    {"trusted name", &Certs::good, "localhost", ""},
    {"name in other case", &Certs::good, "LocalHost", ""},
    {"trusted address", &Certs::good, "127.0.0.1", ""},
    {"address the certificate lacks", &Certs::good, "[::1]",
     "TLS: certificate verify failed: IP address mismatch"},
    {"name the certificate lacks", &Certs::wrongName, "localhost",
     "TLS: certificate verify failed: hostname mismatch"},
    {"expired", &Certs::expired, "localhost", "TLS: certificate verify failed: certificate has expired"},
    {"not yet valid", &Certs::notYet, "localhost",
     "TLS: certificate verify failed: certificate is not yet valid"},
    {"self-signed", &Certs::selfSigned, "localhost",
     "TLS: certificate verify failed: self-signed certificate"},
    {"unknown authority", &Certs::foreign, "localhost",
     "TLS: certificate verify failed: unable to get local issuer certificate"},
    {"wildcard covers one label", &Certs::wildcard, "a.test.example", ""},
    {"wildcard covers no deeper", &Certs::wildcard, "a.b.test.example",
     "TLS: certificate verify failed: hostname mismatch"},
};

TEST_F(TlsSessionTest, VerificationOutcomes) {
    for (const VerifyCase& c : kVerifyCases) {
        SCOPED_TRACE(c.word);
        TTlsPeer server(TheCerts().*c.cert);
        TTlsSession client;
        ASSERT_TRUE(client.Start(c.host));
        server.Exchange(client);
        if (*c.error == 0) {
            EXPECT_EQ(client.State(), net::tlsOpen);
            EXPECT_TRUE(client.HandshakeDone());
            EXPECT_EQ(client.ErrorText(), "");
        } else {
            EXPECT_EQ(client.State(), net::tlsFailed);
            EXPECT_FALSE(client.HandshakeDone());
            EXPECT_EQ(client.ErrorText(), c.error);
        }
    }
}

TEST_F(TlsSessionTest, TrustFollowsSslCertFile) {
    const char* words[] = {"own CA trusted", "other CA only", "own CA again"};
    const std::string files[] = {TheCerts().ca.CaFile(), TheCerts().otherCa.CaFile(), TheCerts().ca.CaFile()};
    const bool passes[] = {true, false, true};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(words[i]);
        Trust(files[i]);
        TTlsPeer server(TheCerts().good);
        TTlsSession client;
        client.Start("localhost");
        server.Exchange(client);
        EXPECT_EQ(client.HandshakeDone(), passes[i]) << client.ErrorText();
    }
}

TEST_F(TlsSessionTest, ServerNameGoesOutForNamesOnly) {
    const struct {
        const char* host;
        const char* sent;
    } cases[] = {{"localhost", "localhost"}, {"127.0.0.1", "(none)"}, {"a.test.example", "a.test.example"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        TTlsPeer server(TheCerts().good);
        TTlsSession client;
        client.Start(c.host);
        server.Exchange(client);
        EXPECT_EQ(server.ServerName().empty() ? "(none)" : server.ServerName(), c.sent);
    }
}

TEST_F(TlsSessionTest, OldProtocolVersionsAreRefused) {
    for (int version : {TLS1_VERSION, TLS1_1_VERSION}) {
        TTlsPeer server(TheCerts().good, version);
        TTlsSession client;
        client.Start("localhost");
        server.Exchange(client);
        EXPECT_EQ(client.State(), net::tlsFailed);
        EXPECT_EQ(client.ErrorText().rfind("TLS: ", 0), 0u) << client.ErrorText();
        EXPECT_NE(client.ErrorText().find("protocol version"), std::string::npos) << client.ErrorText();
    }
}

TEST_F(TlsSessionTest, EmptyHostNameIsNotAWildcardForAnyName) {
    TTlsSession client;
    EXPECT_FALSE(client.Start(""));
    EXPECT_EQ(client.State(), net::tlsFailed);
    EXPECT_EQ(client.ErrorText(), "TLS: no host name to verify");
}

// OpenSSL is loaded at the first session; when that fails, every session
// fails at Start with the loader's reason and owns nothing, and plain
// calls on it do nothing. Loading the real library again brings TLS back.
TEST_F(TlsSessionTest, OpenSslThatCannotBeLoadedFailsWithTheLoadersReason) {
    const struct {
        const char* soname;
        const char* start;  // the error text begins so
        const char* then;   // and goes on with this
    } cases[] = {
        {"libsentrel-missing.so.0",
         "TLS: cannot load OpenSSL: libsentrel-missing.so.0: ", "cannot open shared object file"},
        {"libc.so.6", "TLS: cannot load OpenSSL: ", "undefined symbol: OPENSSL_init_ssl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.soname);
        net::ReloadOpenSslForTest(c.soname);
        EXPECT_FALSE(net::TlsInit());
        TTlsSession client;
        EXPECT_FALSE(client.Start("localhost", "localhost:443"));
        EXPECT_EQ(client.State(), net::tlsFailed);
        EXPECT_EQ(client.ErrorText().rfind(c.start, 0), 0u) << client.ErrorText();
        EXPECT_NE(client.ErrorText().find(c.then), std::string::npos) << client.ErrorText();
        client.Write("GET", 3);
        client.Feed("\x16\x03\x01", 3);
        client.FeedEof();
        client.Shutdown();
        char buffer[16];
        std::string out;
        EXPECT_EQ(client.Read(buffer, sizeof buffer), 0u);
        EXPECT_FALSE(client.HasOutput());
        EXPECT_EQ(client.TakeOutput(out), 0u);
        EXPECT_EQ(client.Protocol(), "");
        EXPECT_EQ(client.State(), net::tlsFailed);
    }
    net::ReloadOpenSslForTest(net::kOpenSslSoname);
    EXPECT_TRUE(net::TlsInit());
    TTlsPeer server(TheCerts().good);
    TTlsSession client;
    ASSERT_TRUE(client.Start("localhost"));
    server.Exchange(client);
    EXPECT_TRUE(client.HandshakeDone()) << client.ErrorText();
}

// Reads everything the client has, feeding it the server's bytes cut at
// the given points.
std::string FeedSplit(TTlsSession& client, const std::string& bytes, std::mt19937& rng,
                      std::size_t maxPiece) {
    std::string got;
    char buffer[3000];
    std::uniform_int_distribution<std::size_t> piece(1, maxPiece);
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t n = std::min(piece(rng), bytes.size() - at);
        client.Feed(bytes.data() + at, n);
        at += n;
        while (std::size_t r = client.Read(buffer, sizeof buffer)) got.append(buffer, r);
    }
    return got;
}

TEST_F(TlsSessionTest, DataSplitAnywhereArrivesWhole) {
    std::string body;
    for (int i = 0; body.size() < 300000; ++i) body += "line " + std::to_string(i) + " of the body\r\n";
    body[1000] = '\0';  // zero bytes are data like any other
    std::mt19937 rng(7);
    for (std::size_t maxPiece : {1u, 7u, 1500u, 70000u}) {
        SCOPED_TRACE(maxPiece);
        TTlsPeer server(TheCerts().good);
        TTlsSession client;
        client.Start("localhost");
        client.Write("GET / HTTP/1.0\r\n\r\n", 18);  // before the handshake: kept until it ends
        server.Exchange(client);
        ASSERT_TRUE(client.HandshakeDone()) << client.ErrorText();
        EXPECT_EQ(server.Received, "GET / HTTP/1.0\r\n\r\n");
        server.Write(body, 999);  // many small records
        server.Shutdown();
        std::string got = FeedSplit(client, server.TakeOutput(), rng, maxPiece);
        EXPECT_EQ(got.size(), body.size());
        EXPECT_TRUE(got == body);
        EXPECT_EQ(client.State(), net::tlsClosed);
        EXPECT_TRUE(client.PeerClosedCleanly());
        // Our close_notify answers the server's.
        std::string reply;
        client.TakeOutput(reply);
        server.Feed(reply);
        server.Step();
        EXPECT_TRUE(server.SawCloseNotify());
    }
}

TEST_F(TlsSessionTest, PeerClosingWithoutCloseNotifyEndsTheStreamAfterTheData) {
    TTlsPeer server(TheCerts().good);
    TTlsSession client;
    client.Start("localhost");
    server.Exchange(client);
    server.Write("the whole body");
    std::string bytes = server.TakeOutput();
    client.Feed(bytes.data(), bytes.size());
    client.FeedEof();
    char buffer[100];
    std::size_t n = client.Read(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n), "the whole body");
    EXPECT_EQ(client.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(client.State(), net::tlsClosed);
    EXPECT_FALSE(client.PeerClosedCleanly());
    EXPECT_EQ(client.ErrorText(), "");
}

TEST_F(TlsSessionTest, OurShutdownReachesThePeerAndTheAnswerClosesTheStream) {
    TTlsPeer server(TheCerts().good);
    TTlsSession client;
    client.Start("localhost");
    server.Exchange(client);
    client.Write("bye", 3);
    client.Shutdown();
    EXPECT_EQ(client.State(), net::tlsShuttingDown);
    client.Write("late", 4);  // nothing goes out after our close_notify
    std::string out;
    client.TakeOutput(out);
    server.Feed(out);
    server.Step();
    EXPECT_EQ(server.Received, "bye");
    EXPECT_TRUE(server.SawCloseNotify());
    server.Shutdown();
    std::string answer = server.TakeOutput();
    client.Feed(answer.data(), answer.size());
    char buffer[10];
    EXPECT_EQ(client.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(client.State(), net::tlsClosed);
    EXPECT_TRUE(client.PeerClosedCleanly());
}

TEST_F(TlsSessionTest, PeerClosingDuringTheHandshakeFails) {
    TTlsPeer server(TheCerts().good);
    TTlsSession client;
    client.Start("localhost");
    std::string hello;
    client.TakeOutput(hello);
    server.Feed(hello);
    server.Step();
    std::string flight = server.TakeOutput();
    client.Feed(flight.data(), flight.size() / 2);  // half the server's flight, then the end
    client.FeedEof();
    EXPECT_EQ(client.State(), net::tlsFailed);
    EXPECT_EQ(client.ErrorText(), "TLS: unexpected eof while reading");
}

TEST_F(TlsSessionTest, InputThatIsNotTlsFailsWithOpenSslsReason) {
    const struct {
        const char* word;
        std::string bytes;
        const char* error;
    } cases[] = {
        {"plain HTTP reply", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>",
         "TLS: wrong version number"},
        {"zero bytes", std::string(64, '\0'), "TLS: wrong version number"},
        {"handshake record too long", std::string("\x16\x03\x03\xff\xff", 5) + std::string(20, 'x'),
         "TLS: packet length too long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        TTlsSession client;
        client.Start("localhost");
        client.Feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(client.State(), net::tlsFailed);
        EXPECT_EQ(client.ErrorText(), c.error);
        char buffer[10];
        EXPECT_EQ(client.Read(buffer, sizeof buffer), 0u);
    }
}

TEST_F(TlsSessionTest, GarbageFedByteByByteNeverHangsTheSession) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(static_cast<std::size_t>(rng() % 600), '\0');
        for (char& b : bytes) b = static_cast<char>(rng());
        if (round % 2 == 0 && bytes.size() >= 3)
            bytes.replace(0, 3, "\x16\x03\x03", 3);  // looks like a handshake
        TTlsSession client;
        client.Start("localhost");
        for (char b : bytes) client.Feed(&b, 1);
        client.FeedEof();
        // However the bytes went, the end of the input ends the handshake.
        EXPECT_EQ(client.State(), net::tlsFailed);
        EXPECT_EQ(client.ErrorText().rfind("TLS: ", 0), 0u);
    }
}

TEST_F(TlsSessionTest, TamperedRecordFailsTheStream) {
    TTlsPeer server(TheCerts().good);
    TTlsSession client;
    client.Start("localhost");
    server.Exchange(client);
    server.Write("payload that will not survive");
    std::string bytes = server.TakeOutput();
    bytes[bytes.size() - 3] ^= 0x40;
    client.Feed(bytes.data(), bytes.size());
    char buffer[100];
    EXPECT_EQ(client.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(client.State(), net::tlsFailed);
    EXPECT_EQ(client.ErrorText(), "TLS: decryption failed or bad record mac");
}

TEST_F(TlsSessionTest, StartAgainForgetsTheEarlierConnection) {
    TTlsSession client;
    client.Start("localhost");
    client.Feed("garbage!", 8);
    ASSERT_EQ(client.State(), net::tlsFailed);
    TTlsPeer server(TheCerts().good);
    ASSERT_TRUE(client.Start("localhost"));
    EXPECT_EQ(client.ErrorText(), "");
    server.Exchange(client);
    EXPECT_TRUE(client.HandshakeDone());
    EXPECT_FALSE(client.Protocol().empty());
}

}  // namespace
