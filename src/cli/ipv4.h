#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ketrova {

// Four octets in the order the dotted-quad text writes them. As one 32-bit
// value handed to the network, the first octet is the lowest-addressed byte.
struct Ipv4Address {
  std::array<std::uint8_t, 4> octets{};

  friend bool operator==(const Ipv4Address&, const Ipv4Address&) = default;
};

// The address as a 32-bit value in network byte order (first octet in the
// lowest-addressed byte), ready for the platform's address structures.
std::uint32_t to_network_order(Ipv4Address address);
Ipv4Address from_network_order(std::uint32_t value);

// Parses dotted-quad text: Unicode White_Space is trimmed from both ends, then
// exactly four pieces of an optional '+' and decimal digits (leading zeros
// allowed) with values 0..255. Anything else yields nothing.
std::optional<Ipv4Address> parse_ipv4(std::string_view text);

}  // namespace ketrova
