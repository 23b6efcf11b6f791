#pragma once

#include <array>
#include <cstdint>
#include <string>

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

// Dotted-quad text of an address, without leading zeros.
std::string format_ipv4(Ipv4Address address);

}  // namespace ketrova
