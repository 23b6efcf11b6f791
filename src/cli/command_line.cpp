#include "cli/command_line.h"

#include <cstddef>
#include <utility>

namespace ketrova {
namespace {

constexpr char16_t QUOTE = u'"';
constexpr char16_t BACKSLASH = u'\\';

constexpr bool is_blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

}  // namespace

std::vector<std::u16string> split_command_line(std::u16string_view command_line) {
  std::vector<std::u16string> arguments;
  const std::size_t end = command_line.size();
  std::size_t i = 0;

  // Argument 0, the program: quotes only toggle quoting (and are dropped),
  // backslashes are ordinary characters, and the first blank outside quotes
  // ends it. It exists even when it is empty.
  std::u16string program;
  bool quoted = false;
  for (; i < end; ++i) {
    const char16_t c = command_line[i];
    if (c == QUOTE) {
      quoted = !quoted;
    } else if (!quoted && is_blank(c)) {
      break;
    } else {
      program.push_back(c);
    }
  }
  arguments.push_back(std::move(program));

  // The other arguments, each starting at the next character that is no blank.
  for (;;) {
    while (i < end && is_blank(command_line[i])) ++i;
    if (i == end) break;

    std::u16string argument;
    quoted = false;
    while (i < end) {
      std::size_t backslashes = 0;
      while (i < end && command_line[i] == BACKSLASH) {
        ++backslashes;
        ++i;
      }
      if (i < end && command_line[i] == QUOTE) {
        // Before a quote, each pair of backslashes stands for one backslash;
        // an odd one left over makes the quote a literal character.
        argument.append(backslashes / 2, BACKSLASH);
        if (backslashes % 2 == 1) {
          argument.push_back(QUOTE);
          ++i;
        } else if (quoted && i + 1 < end && command_line[i + 1] == QUOTE) {
          // Two quotes in a row inside quoting: one literal quote, and the
          // quoting goes on.
          argument.push_back(QUOTE);
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      argument.append(backslashes, BACKSLASH);
      if (i == end || (!quoted && is_blank(command_line[i]))) break;
      argument.push_back(command_line[i]);
      ++i;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace ketrova
