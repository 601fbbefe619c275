// String helpers of the monitor application. Strip takes a given character
// off both ends of a string, all of it at the start first and then all of it
// at the end, leaving everything in between alone; the log viewer uses it to
// clean the blanks off a typed file name. Plain functions, no state.
#pragma once

#include <string>
#include <string_view>

namespace app {

std::string Strip(std::string_view s, char c);

}  // namespace app
