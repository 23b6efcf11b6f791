// Address text parsing against an independent reading of the rules: trim
// Unicode White_Space (decoded code point by code point), split at every full
// stop, require four pieces of an optional "+" and decimal digits worth at
// most 255. An accepted address must also survive a trip through its
// canonical dotted-quad text and through the network-order 32-bit value.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ipv4.h"
#include "fuzz_support.h"

namespace {

using ketrova::fuzz::require;

constexpr std::uint32_t WHITE_SPACE[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                         0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                         0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                         0x2029, 0x202F, 0x205F, 0x3000};

bool is_white_space(std::uint32_t cp) {
  for (std::uint32_t space : WHITE_SPACE) {
    if (cp == space) return true;
  }
  return false;
}

std::string_view trim(std::string_view text) {
  const std::vector<ketrova::fuzz::CodePoint> items = ketrova::fuzz::decode_utf8(text);
  std::size_t first = 0;
  std::size_t last = items.size();
  std::size_t head = 0;
  std::size_t tail = 0;
  while (first < last && is_white_space(items[first].value)) head += items[first++].length;
  while (last > first && is_white_space(items[last - 1].value)) tail += items[--last].length;
  return text.substr(head, text.size() - head - tail);
}

std::optional<std::uint8_t> read_piece(std::string_view piece) {
  if (!piece.empty() && piece[0] == '+') piece.remove_prefix(1);
  if (piece.empty()) return std::nullopt;
  for (char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  while (piece.size() > 1 && piece[0] == '0') piece.remove_prefix(1);
  if (piece.size() > 3) return std::nullopt;
  const int value = std::stoi(std::string(piece));
  if (value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::optional<ketrova::Ipv4Address> expected_address(std::string_view text) {
  text = trim(text);
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t dot = text.find('.');
    pieces.push_back(text.substr(0, dot));
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  if (pieces.size() != 4) return std::nullopt;
  ketrova::Ipv4Address address;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::optional<std::uint8_t> octet = read_piece(pieces[i]);
    if (!octet) return std::nullopt;
    address.octets[i] = *octet;
  }
  return address;
}

std::string canonical_text(const ketrova::Ipv4Address& address) {
  std::string text;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i) text += '.';
    text += std::to_string(address.octets[i]);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string copy = text;
  const std::optional<ketrova::Ipv4Address> address = ketrova::parse_ipv4(text);
  require(text == copy);
  require(address == expected_address(text));
  if (!address) return 0;

  // What was accepted, once trimmed, is three full stops between digits and
  // single plus signs.
  const std::string_view core = trim(text);
  std::size_t dots = 0;
  for (char c : core) {
    require(c == '.' || c == '+' || (c >= '0' && c <= '9'));
    dots += c == '.';
  }
  require(dots == 3);

  const std::string canonical = canonical_text(*address);
  require(ketrova::parse_ipv4(canonical) == address);
  const std::uint32_t value = ketrova::to_network_order(*address);
  std::array<std::uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), &value, sizeof value);
  require(bytes == address->octets);
  require(ketrova::from_network_order(value) == *address);
  return 0;
}
