// Fuzz target: whatever a server sends instead of (or as) its side of the
// handshake, the client's TLS session ends failed with a "TLS: " reason once
// the input ends, never crashes and never waits for more. The first byte
// picks how the input is cut into arrivals.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/TlsSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t piece = 1 + data[0] % 64;
    if (data[0] >= 192) piece = size;  // sometimes all at once
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;

    net::TTlsSession tls;
    tls.Start("localhost");
    tls.Write("GET / HTTP/1.0\r\n\r\n", 18);
    char buffer[4096];
    std::string out;
    while (left > 0) {
        std::size_t n = left < piece ? left : piece;
        tls.Feed(bytes, n);
        bytes += n;
        left -= n;
        while (tls.Read(buffer, sizeof buffer) > 0) {
        }
        tls.TakeOutput(out);
        out.clear();
    }
    tls.FeedEof();
    while (tls.Read(buffer, sizeof buffer) > 0) {
    }
    // No certificate made by a fuzzer verifies, so the end is always a failure.
    if (tls.State() != net::tlsFailed || tls.ErrorText().rfind("TLS: ", 0) != 0) std::abort();
    return 0;
}
