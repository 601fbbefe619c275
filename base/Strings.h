// String helpers for the single-byte strings the program works with: ASCII
// case conversion (only the letters A-Z and a-z change), 1-based positions
// as the design's texts count them, trimming and integer conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace base {

std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);

// Blanks and control characters (code <= 32) off both ends, or one end.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// 1-based position of needle in s, 0 when absent.
int Pos(std::string_view needle, std::string_view s);
// count characters from 1-based position index, clipped to the string.
std::string Copy(std::string_view s, int index, int count);

// A decimal integer, or a hexadecimal one written "0x", "0X" or "$" first,
// with an optional sign and no other characters; nullopt when it is not one
// or does not fit 32 bits.
std::optional<std::int32_t> TryStrToInt(std::string_view s);
std::int32_t StrToIntDef(std::string_view s, std::int32_t def);
std::string IntToStr(long long v);

// The length of the well-formed UTF-8 sequence at s[i], 0 when there is none
// (a stray continuation byte, a sequence cut short, an overlong form, a
// surrogate or a code point above U+10FFFF).
std::size_t Utf8Length(std::string_view s, std::size_t i);

// Text from a server or a user as it may be printed or logged: every
// control character (below 0x20 except tab, and 0x7F) and every byte that is
// not part of well-formed UTF-8 (a raw 0x9B among them) shown as \xHH; the
// C1 controls U+0080..U+009F, the bidirectional embeddings, overrides and
// isolates (U+202A..U+202E, U+2066..U+2069) and the line and paragraph
// separators (U+2028, U+2029) shown as \uHHHH. Nothing can move a
// terminal's cursor, reorder what follows or start a forged log line. A text
// without them keeps its exact bytes.
std::string ShowControls(std::string_view s);

// A time in seconds since the epoch as ISO 8601 in UTC: 2026-12-07T18:04:05Z.
std::string UtcIsoTime(std::int64_t seconds);

// Multiplies in signed 32-bit arithmetic; raises EIntOverflow on overflow.
std::int32_t CheckedMul32(std::int32_t a, std::int32_t b);

}  // namespace base
