// Fuzzes SplitUrl: every input gives six parts, each of them text taken from
// the input (or the protocol names the splitter supplies), and LastPos agrees
// with a plain search.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/Url.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool FromInput(std::string_view input, const std::string& part) {
    return part.empty() || input.find(part) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view url(reinterpret_cast<const char*>(data), size);
    net::TUrlParts u = net::SplitUrl(url);
    Check(u.Protocol == "http" || u.Protocol == "mailto" || FromInput(url, u.Protocol));
    Check(FromInput(url, u.User));
    Check(FromInput(url, u.Password));
    Check(FromInput(url, u.Host));
    Check(FromInput(url, u.Port));
    Check(FromInput(url, u.Path));
    Check(u.User.size() + u.Password.size() + u.Host.size() + u.Port.size() + u.Path.size() <= size);

    if (size > 0) {
        std::string_view sub = url.substr(0, 1 + data[0] % 3 < size ? 1 + data[0] % 3 : size);
        int p = net::LastPos(sub, url);
        std::size_t r = url.rfind(sub);
        Check(p == (r == std::string_view::npos ? 0 : static_cast<int>(r) + 1));
    }
    return 0;
}
