// Fuzzes proxy URLs with a password planted in them: a proxy URL that is
// refused never shows the password in its reason, one that is taken names a
// host and a port that can be connected to, and a password the URL splitter
// finds is never shown by HidePassword.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/ProxyUrl.h"
#include "net/Url.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

const char kSecret[] = "Pw9Zq";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t at = data[0] % (rest.size() + 1);
    // The secret follows a ":", as a password does ("user:secret").
    const std::string text = rest.substr(0, at) + ":" + kSecret + rest.substr(at);
    // The secret is looked for only where it was planted once.
    const bool planted = rest.find(kSecret) == std::string::npos;
    for (const std::string& t : {text, rest}) {
        net::TProxyUrl proxy;
        std::string error;
        if (!net::ParseProxyUrl(t, proxy, error)) {
            Check(!error.empty());
            Check(!planted || error.find(kSecret) == std::string::npos);
            continue;
        }
        if (proxy.Kind == net::TProxyKind::None) continue;
        Check(net::IsValidHost(proxy.Host));
        if (!proxy.Port.empty()) {
            Check(proxy.Port.find_first_not_of("0123456789") == std::string::npos && proxy.Port.size() <= 5);
            const int port = std::stoi(proxy.Port);
            Check(port >= 1 && port <= 65535);
        }
    }
    if (planted && net::SplitUrl(text).Password.find(kSecret) != std::string::npos)
        Check(net::HidePassword(text).find(kSecret) == std::string::npos);
    return 0;
}
