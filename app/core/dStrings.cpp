#include "app/core/dStrings.h"

namespace app {

std::string Strip(std::string_view s, char c) {
    while (!s.empty() && s.front() == c) s.remove_prefix(1);
    while (!s.empty() && s.back() == c) s.remove_suffix(1);
    return std::string(s);
}

}  // namespace app
