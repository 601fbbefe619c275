// Text from servers and users made safe for where the status page puts it.
// Every function first mends the text: a byte that is not part of
// well-formed UTF-8 and a control character other than tab, line feed and
// carriage return become U+FFFD, so an SVG stays well-formed XML and a
// browser never guesses at an encoding.
#pragma once

#include <string>
#include <string_view>

namespace app {

// Well-formed UTF-8 without control characters (tab, LF and CR kept).
std::string StatusCleanText(std::string_view text);
// For HTML text, attribute values in double or single quotes, and XML
// (SVG): & < > " ' as character references.
std::string EscapeMarkup(std::string_view text);
// A JSON string with its quotes; < > & and U+2028/U+2029 as \u escapes too,
// so the text stays inert wherever it is pasted.
std::string JsonString(std::string_view text);

}  // namespace app
