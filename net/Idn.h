// Host names in any script. A user may type a host in their own script
// ("bücher.example", "пример.рф"); the name system, TLS server name
// indication and the Host header know it only in its ASCII form
// ("xn--bcher-kva.example"), which libidn2 computes with the lookup rules
// browsers and curl follow (mapped, so "BÜCHER" is "bücher", and
// non-transitional, so "ß" stays itself). The ASCII form is what goes on the
// wire; the name as typed is what the monitor shows and logs.
//
// Plain functions without state; nothing here raises.
#pragma once

#include <string>
#include <string_view>

namespace net {

// The reason a request or a proxy gives for a name that has no ASCII form.
inline constexpr const char* kInvalidInternationalHost = "invalid international host name";

// Whether host holds a byte beyond ASCII, and so needs converting.
bool IsInternationalHost(std::string_view host);

// The ASCII form of a host name given in UTF-8. A name that is all ASCII
// (a plain name, an IP address, an IPv6 address in brackets) is its own
// form and is not checked here. Returns false, leaving ascii as it was, for
// a name with no ASCII form: bytes that are not UTF-8 (a Latin-1 name), a
// character no host name may hold, a hyphen at a label's edge, and the like.
bool ToAsciiHost(std::string_view host, std::string& ascii);

}  // namespace net
