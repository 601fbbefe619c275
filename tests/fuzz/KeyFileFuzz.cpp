// Fuzzes the key-file code of desktop entries: any text parses without
// fault, and the value escapes and the Exec quoting round-trip. The first
// byte picks the property; the rest is the text or the value.
//   - any value written with EscapeKeyValue reads back as itself;
//   - any argument quoted for an Exec line and escaped for the file splits
//     back into exactly that argument (and the one after it);
//   - any text parses, and every key it gives has a group.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/DesktopEntry.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0: {
            const auto groups = platform::ParseKeyFile("[g]\nK=" + platform::EscapeKeyValue(text) + "\n");
            Check(groups.size() == 1 && groups[0].Value("K") == text);
            break;
        }
        case 1: {
            // A NUL cannot stand in an argument vector.
            if (text.find('\0') != std::string::npos) break;
            const std::string line = platform::EscapeKeyValue(platform::QuoteExecArgument(text) + " --once");
            const auto groups = platform::ParseKeyFile("[Desktop Entry]\nExec=" + line + "\n");
            Check(groups.size() == 1);
            const auto args = platform::SplitExec(groups[0].Value("Exec").value_or(""), {});
            Check(args && *args == std::vector<std::string>({text, "--once"}));
            break;
        }
        default: {
            for (const auto& g : platform::ParseKeyFile(text))
                for (const auto& [key, value] : g.Keys) Check(key.find('\n') == std::string::npos);
            break;
        }
    }
    return 0;
}
