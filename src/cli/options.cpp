#include "cli/options.h"

namespace ketrova {

std::optional<std::string> find_option(std::span<const std::string> arguments,
                                       std::string_view name) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == name) {
      if (i + 1 < arguments.size()) return arguments[i + 1];
      return std::nullopt;
    }
    if (argument.size() > name.size() && argument.starts_with(name) &&
        argument[name.size()] == '=') {
      return std::string(argument.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace ketrova
