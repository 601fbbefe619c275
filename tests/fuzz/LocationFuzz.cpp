// Fuzzes the resolution of Location values, hop after hop, directly and
// through a proxy from the same starting URL. Whatever the values: both ways
// agree on whether a value is followed; a followed value leaves no control
// character, blank or "#" in either request target; and the direct target's
// host and port are the ones the proxy's absolute target names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/HttpLocation.h"
#include "net/Url.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool CleanTarget(std::string_view target) {
    for (char ch : target) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F || c == '#') return false;
    }
    return !target.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte picks where the request started; the rest are the
    // values of successive hops, one a line.
    net::THttpTarget direct, proxied;
    switch (data[0] % 3) {
        case 0:
            direct = {"srv", "8080", "srv", "/dir/doc", "", ""};
            proxied = {"gate", "3128", "srv", "http://srv:8080/dir/doc", "", ""};
            break;
        case 1:
            direct = {"srv", "443", "srv", "/dir/doc?q", "", "https"};
            proxied = {"gate", "3128", "srv", "https://srv/dir/doc?q", "", "https"};
            break;
        default:
            direct = {"[::1]", "80", "[::1]", "/", "", "http"};
            proxied = {"gate", "3128", "[::1]", "http://[::1]/", "", "http"};
            break;
    }
    std::string_view values(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!values.empty()) {
        const std::size_t lf = values.find('\n');
        const std::string_view value = values.substr(0, lf);
        values = lf == std::string_view::npos ? std::string_view{} : values.substr(lf + 1);
        const auto moved = net::FollowLocation(value, false, direct);
        Check(moved == net::FollowLocation(value, true, proxied));
        if (moved != net::TLocationResult::lrFollowed) continue;
        Check(CleanTarget(direct.RequestPath));
        Check(CleanTarget(proxied.RequestPath));
        Check(proxied.Host == "gate" && proxied.Port == "3128");
        const net::TUrlParts u = net::SplitUrl(proxied.RequestPath);
        Check(u.Host == direct.Host && u.Host == direct.HostName && u.Host == proxied.HostName);
        Check((u.Port.empty() ? net::DefaultPortForProtocol(u.Protocol) : u.Port) == direct.Port);
        Check((u.Path.empty() ? "/" : u.Path) == direct.RequestPath);
    }
    return 0;
}
