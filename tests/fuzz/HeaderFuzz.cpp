// Fuzzes the reading of reply headers: the bytes are cut into reads of sizes
// the input chooses, fed through the line buffer exactly as the client feeds
// it, and every line is read as a header line and kept, as the client keeps
// them, until the header ends; interim 1xx replies go on to the next status
// line, and the section is bounded as the client bounds it. The reply may be
// played several times over, so a small input can send a header far larger
// than the bound. Location values move a request target, directly and
// through a proxy, hop after hop. Nothing may read or write outside the
// buffer, and the lines kept may never outgrow the section's bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    if (size < 2) return 0;
    // The first byte picks the read size pattern and how often the reply is
    // played; the rest is the reply.
    const unsigned pattern = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t replySize = size - 1;
    std::size_t left = replySize * (1 + pattern % 64);

    THttpLineBuffer buf;
    bool body = false;
    bool failed = false;
    std::vector<std::string> kept;  // ResponseHeaderLines
    std::size_t keptBytes = 0;
    std::int64_t sectionBytes = 0;
    bool replyStart = true;
    bool interim = false;
    std::string begin, end;
    net::THttpTarget direct{"srv", "8080", "srv", "/dir/doc", "srv:8080/dir/doc", ""};
    net::THttpTarget proxied{"gate", "3128", "srv", "http://srv:8080/dir/doc", "srv:8080/dir/doc", ""};
    std::size_t read = 0;
    unsigned step = 0;
    while (left > 0 && !body && !failed) {
        int free = buf.Free();
        Check(free >= 0 && free + buf.Length() == THttpLineBuffer::Capacity);
        if (free == 0) break;  // "HTTP line too long"
        std::size_t want = 1 + (pattern * 131 + step++ * 17) % 4096;
        std::size_t n = std::min<std::size_t>({want, left, static_cast<std::size_t>(free)});
        char* into = buf.WritePtr();
        for (std::size_t i = 0; i < n; ++i) into[i] = bytes[(read + i) % replySize];
        buf.Commit(static_cast<int>(n));
        read += n;
        left -= n;
        sectionBytes += static_cast<std::int64_t>(n);

        std::string_view line;
        while (!body && !failed && buf.NextLine(line)) {
            Check(line.size() < THttpLineBuffer::Capacity);
            net::THeaderLine h = net::ParseHeaderLine(line);
            const bool validStatus = h.Kind == THeaderLineKind::hlStatus && h.StatusCode;
            if (replyStart && h.Kind != THeaderLineKind::hlHtml && !validStatus) {
                failed = true;  // "Invalid HTTP reply"
                break;
            }
            if (!replyStart && h.Kind == THeaderLineKind::hlStatus) {
                failed = true;  // a second status line: "Invalid HTTP header"
                break;
            }
            if (validStatus) Check(*h.StatusCode >= 100 && *h.StatusCode <= 599);
            replyStart = false;
            switch (h.Kind) {
                case THeaderLineKind::hlEmpty:
                    // The end of an interim reply: the real one follows.
                    if (interim)
                        replyStart = true;
                    else
                        body = true;
                    interim = false;
                    continue;
                case THeaderLineKind::hlHtml: body = true; continue;
                case THeaderLineKind::hlStatus:
                    Check(h.ReasonPhrase.size() <= line.size());
                    interim = h.StatusCode && *h.StatusCode >= 100 && *h.StatusCode < 200;
                    break;
                case THeaderLineKind::hlField:
                    Check(h.Value.size() < line.size());
                    if (h.Name == "content-range") {
                        net::ParseContentRange(h.Value, begin, end);
                        for (char c : begin + end) Check(c >= '0' && c <= '9');  // all a Range header gets
                    }
                    if (h.Name == "content-length") {
                        const auto n = net::ContentLengthValue(h.Value);
                        if (!n) failed = true;  // "Invalid HTTP header"
                        Check(!n || *n >= 0);
                    }
                    if (h.Name == "location") {
                        // Each hop starts from where the previous one went.
                        auto moved = net::FollowLocation(h.Value, false, direct);
                        Check(moved == net::FollowLocation(h.Value, true, proxied));
                        Check(moved != net::TLocationResult::lrFollowed || !direct.RequestPath.empty());
                        for (char c : direct.RequestPath) Check(static_cast<unsigned char>(c) > 0x20);
                    }
                    break;
                case THeaderLineKind::hlOther: break;
            }
            kept.emplace_back(line);
            keptBytes += line.size();
        }
        if (body || failed) break;
        // The checks the client makes after each read.
        if (buf.ZeroInLine()) break;                                       // "Invalid HTTP header"
        if (replyStart && !net::CanStartReply(buf.Bytes(), false)) break;  // "Invalid HTTP reply"
        if (sectionBytes > net::MaxHeaderSection) break;                   // "HTTP header too large"
    }
    // Whatever arrived, the lines kept stay within the section's bound.
    Check(keptBytes <= static_cast<std::size_t>(net::MaxHeaderSection));
    // What is left is body: read it whole, as the client hands it on.
    std::string_view rest = buf.Bytes();
    volatile std::size_t sum = 0;
    for (char c : rest) sum = sum + static_cast<unsigned char>(c);
    return 0;
}
