// Fuzzes the reading of mimeapps.list: any text gives a list of desktop IDs
// without fault, none of them empty; and IDs written as a list, ";"
// escaped inside them, come back as exactly those IDs, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/DesktopEntry.h"
#include "platform/MimeApps.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* group : {"Default Applications", "Added Associations"})
        for (const auto& id : platform::MimeAppsIds(text, group, "text/html")) Check(!id.empty());

    // The text as IDs separated by NUL bytes: a list with each ";" escaped.
    std::vector<std::string> ids;
    std::string list;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\0') continue;
        std::string id = text.substr(start, i - start);
        start = i + 1;
        // IDs are file names: no line break, blank, backslash or control character.
        bool plain = !id.empty();
        for (unsigned char c : id)
            if (c <= ' ' || c == '\\' || c == 0x7F) plain = false;
        if (!plain) continue;
        ids.push_back(id);
        for (char c : id) list += c == ';' ? std::string("\\;") : std::string(1, c);
        list += ';';
    }
    const auto back = platform::MimeAppsIds("[Default Applications]\ntext/html=" + list + "\n",
                                            "Default Applications", "text/html");
    Check(back == ids);
    return 0;
}
