#pragma once

#include <optional>
#include <string_view>

#include "net/ipv4_address.h"

namespace ketrova {

// Parses dotted-quad text: Unicode White_Space is trimmed from both ends, then
// exactly four pieces of an optional '+' and decimal digits (leading zeros
// allowed) with values 0..255. Anything else yields nothing.
std::optional<Ipv4Address> parse_ipv4(std::string_view text);

}  // namespace ketrova
