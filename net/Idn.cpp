#include "net/Idn.h"

#include <idn2.h>

#include <cstdint>

namespace net {

bool IsInternationalHost(std::string_view host) {
    for (char ch : host)
        if (static_cast<unsigned char>(ch) >= 0x80) return true;
    return false;
}

bool ToAsciiHost(std::string_view host, std::string& ascii) {
    if (!IsInternationalHost(host)) {
        ascii = std::string(host);
        return true;
    }
    // libidn2 reads a C string: a NUL inside would cut the name short and
    // another host would be asked about than the one given.
    if (host.find('\0') != std::string_view::npos) return false;
    const std::string in(host);
    char* out = nullptr;
    const int rc =
        idn2_lookup_u8(reinterpret_cast<const std::uint8_t*>(in.c_str()),
                       reinterpret_cast<std::uint8_t**>(&out), IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    const bool ok = rc == IDN2_OK && out != nullptr;
    if (ok) ascii = out;
    idn2_free(out);
    return ok;
}

}  // namespace net
