// Runs the TLS fuzz target without libFuzzer, as a test: random bytes,
// random bytes behind a handshake record header, and a real server's first
// flight with bytes flipped, cut, or repeated.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "net/TlsSession.h"
#include "tests/support/TestCa.h"
#include "tests/support/TlsPeer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void FuzzOne(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

TEST(TlsFuzz, RandomBytes) {
    std::mt19937 rng(1);
    for (int i = 0; i < 2000; ++i) {
        std::string input(rng() % 700, '\0');
        for (char& c : input) c = static_cast<char>(rng());
        if (i % 3 == 0 && input.size() > 6) input.replace(1, 3, "\x16\x03\x03", 3);
        FuzzOne(input);
    }
}

TEST(TlsFuzz, MutatedServerFlights) {
    testsupport::TTestCa ca;
    testsupport::TCertFiles files = ca.Issue("good", testsupport::TTestCa::Localhost());
    // A genuine first flight from a server that the client then cannot
    // verify (the CA is not trusted here), as the seed to mutate.
    testsupport::TTlsPeer server(files);
    net::TTlsSession client;
    client.Start("localhost");
    std::string hello;
    client.TakeOutput(hello);
    server.Feed(hello);
    server.Step();
    const std::string flight = server.TakeOutput();
    ASSERT_FALSE(flight.empty());

    std::mt19937 rng(2);
    for (int i = 0; i < 3000; ++i) {
        std::string input = std::string(1, static_cast<char>(rng())) + flight;
        switch (i % 4) {
            case 0:  // flip a few bytes
                for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k)
                    input[1 + rng() % flight.size()] ^= 1 << (rng() % 8);
                break;
            case 1: input.resize(1 + rng() % flight.size()); break;        // cut short
            case 2: input += flight.substr(rng() % flight.size()); break;  // a tail repeated
            default: input[1 + rng() % flight.size()] = static_cast<char>(rng()); break;
        }
        FuzzOne(input);
    }
    FuzzOne(std::string(1, '\xff') + flight);  // unchanged, untrusted
}

}  // namespace
