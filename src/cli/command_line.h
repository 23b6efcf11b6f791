#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ketrova {

// Splits a Windows process command line into arguments by the C runtime's
// documented rules. Argument 0 (the program) ends at the first space or tab
// outside double quotes and takes no backslash escapes. After it, spaces and
// tabs outside quotes separate arguments, quotes group and are dropped, two
// quotes in a row inside quoting give one literal quote, and 2n backslashes
// before a quote give n backslashes (2n+1 give n and a literal quote).
std::vector<std::u16string> split_command_line(std::u16string_view command_line);

}  // namespace ketrova
