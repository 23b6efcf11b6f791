#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ketrova {

// Looks up an option among the process arguments (program name first, which
// takes part in the scan). The first argument that equals `name` (the value is
// the next argument, whatever it holds) or begins with `name` followed by "="
// (the value is the rest) decides. Nothing is trimmed. Returns nothing when no
// argument matches or the name is the last argument.
std::optional<std::string> find_option(std::span<const std::string> arguments,
                                       std::string_view name);

}  // namespace ketrova
