#include "cli/command_line.h"

namespace ketrova {

std::vector<std::u16string> split_command_line(std::u16string_view command_line) {
  // Placeholder: the runtime's splitting rules come with the Windows build.
  return {std::u16string(command_line)};
}

}  // namespace ketrova
