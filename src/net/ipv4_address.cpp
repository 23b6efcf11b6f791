#include "net/ipv4_address.h"

#include <cstring>

namespace ketrova {

std::uint32_t to_network_order(Ipv4Address address) {
  std::uint32_t value = 0;
  std::memcpy(&value, address.octets.data(), sizeof value);
  return value;
}

Ipv4Address from_network_order(std::uint32_t value) {
  Ipv4Address address;
  std::memcpy(address.octets.data(), &value, sizeof value);
  return address;
}

std::string format_ipv4(Ipv4Address address) {
  std::string text;
  for (std::size_t i = 0; i < address.octets.size(); ++i) {
    if (i != 0) text += '.';
    text += std::to_string(address.octets[i]);
  }
  return text;
}

}  // namespace ketrova
