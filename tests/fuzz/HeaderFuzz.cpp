// Fuzzes the reading of reply headers: the bytes are cut into reads of sizes
// the input chooses, fed through the 8192-byte line buffer exactly as the
// client feeds it, and every line is read as a header line until the header
// ends; location values move a request target, directly and through a
// proxy, hop after hop. Nothing may read or write outside the buffer,
// whatever arrives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/HttpLocation.h"
#include "net/HttpReply.h"

using net::THeaderLineKind;
using net::THttpLineBuffer;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte picks the read size pattern; the rest is the reply.
    const unsigned pattern = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;

    THttpLineBuffer buf;
    bool body = false;
    std::string begin, end;
    net::THttpTarget direct{"srv", "8080", "srv", "/dir/doc", "srv:8080/dir/doc", ""};
    net::THttpTarget proxied{"gate", "3128", "srv", "http://srv:8080/dir/doc", "srv:8080/dir/doc", ""};
    std::size_t read = 0;
    unsigned step = 0;
    while (left > 0 && !body) {
        int free = buf.Free();
        Check(free >= 0 && free + buf.Length() == THttpLineBuffer::Capacity);
        if (free == 0) break;  // the client ends the request here
        std::size_t want = 1 + (pattern * 131 + step++ * 17) % 2048;
        std::size_t n = std::min<std::size_t>({want, left, static_cast<std::size_t>(free)});
        char* into = buf.WritePtr();
        std::memcpy(into, bytes + read, n);
        buf.Commit(static_cast<int>(n));
        read += n;
        left -= n;

        std::string_view line;
        while (!body && buf.NextLine(line)) {
            Check(line.size() < THttpLineBuffer::Capacity);
            net::THeaderLine h = net::ParseHeaderLine(line);
            switch (h.Kind) {
                case THeaderLineKind::hlEmpty:
                case THeaderLineKind::hlHtml: body = true; break;
                case THeaderLineKind::hlStatus: Check(h.ReasonPhrase.size() <= line.size()); break;
                case THeaderLineKind::hlField:
                    Check(h.Value.size() < line.size());
                    if (h.Name == "content-range") net::ParseContentRange(h.Value, begin, end);
                    if (h.Name == "content-length") (void)net::HeaderNumber(h.Value);
                    if (h.Name == "location") {
                        // Each hop starts from where the previous one went.
                        bool moved = net::FollowLocation(h.Value, false, direct);
                        Check(moved == net::FollowLocation(h.Value, true, proxied));
                        Check(!moved || !direct.RequestPath.empty());
                    }
                    break;
                case THeaderLineKind::hlOther: break;
            }
        }
    }
    // What is left is body: read it whole, as the client hands it on.
    std::string_view rest = buf.Bytes();
    volatile std::size_t sum = 0;
    for (char c : rest) sum = sum + static_cast<unsigned char>(c);
    return 0;
}
