// The Windows command-line splitter over arbitrary UTF-16 text (the input's
// bytes taken in pairs, little-endian). Whatever the splitting rules decide,
// every character of the output comes from the input and none is made up:
// splitting only drops separators, quotes and halved backslashes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/utf.h"
#include "fuzz_support.h"

namespace {

using ketrova::fuzz::require;

std::size_t count(std::u16string_view text, char16_t c) {
  std::size_t n = 0;
  for (char16_t unit : text) n += unit == c;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string line;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    line += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  const std::vector<std::u16string> arguments = ketrova::split_command_line(line);

  // Each argument needs at least one character of the line (a character of
  // its own, or a pair of quotes for an empty one), plus one argument 0.
  require(arguments.size() <= line.size() + 1);
  std::size_t total = 0;
  std::size_t quotes = 0;
  std::size_t backslashes = 0;
  std::size_t other = 0;
  for (const std::u16string& argument : arguments) {
    total += argument.size();
    quotes += count(argument, u'"');
    backslashes += count(argument, u'\\');
    for (char16_t unit : argument) {
      if (unit != u'"' && unit != u'\\') {
        require(line.find(unit) != std::u16string::npos);
        ++other;
      }
    }
    // Every argument converts to valid UTF-8, whatever it holds.
    require(ketrova::fuzz::is_valid_utf8(ketrova::utf16_to_utf8(argument)));
  }
  require(total <= line.size());
  require(quotes <= count(line, u'"'));
  require(backslashes <= count(line, u'\\'));
  require(other <= line.size() - count(line, u'"') - count(line, u'\\'));

  // A line without quotes, spaces or tabs is the program name alone.
  if (!line.empty() && line.find_first_of(u"\" \t") == std::u16string::npos) {
    require(arguments.size() == 1 && arguments[0] == line);
  }
  return 0;
}
