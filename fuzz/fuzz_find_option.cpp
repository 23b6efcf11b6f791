// Option lookup over arbitrary argument lists. The input is split at NUL
// bytes into arguments (process arguments cannot hold a NUL); both option
// names are looked up and checked against a direct reading of the rule: the
// first argument that equals the name or begins with the name and "="
// decides.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "fuzz_support.h"

namespace {

using ketrova::fuzz::require;

std::vector<std::string> split_arguments(std::string_view input) {
  std::vector<std::string> arguments;
  if (input.empty()) return arguments;
  for (;;) {
    const std::size_t nul = input.find('\0');
    arguments.emplace_back(input.substr(0, nul));
    if (nul == std::string_view::npos) break;
    input.remove_prefix(nul + 1);
  }
  return arguments;
}

std::optional<std::string> expected_value(const std::vector<std::string>& arguments,
                                          std::string_view name) {
  const std::string joined = std::string(name) + "=";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == name) {
      if (i + 1 == arguments.size()) return std::nullopt;
      return arguments[i + 1];
    }
    if (arguments[i].compare(0, joined.size(), joined) == 0) {
      return arguments[i].substr(joined.size());
    }
  }
  return std::nullopt;
}

bool is_suffix_of_some(const std::vector<std::string>& arguments, std::string_view value) {
  for (const std::string& argument : arguments) {
    if (std::string_view(argument).ends_with(value)) return true;
  }
  return false;
}

void check(const std::vector<std::string>& arguments, std::string_view name) {
  const std::vector<std::string> before = arguments;
  const std::optional<std::string> value = ketrova::find_option(arguments, name);
  require(arguments == before);
  require(value == expected_value(arguments, name));
  if (value) require(is_suffix_of_some(arguments, *value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments =
      split_arguments(std::string_view(reinterpret_cast<const char*>(data), size));
  check(arguments, "--src-ip");
  check(arguments, "--target-ip");
  return 0;
}
