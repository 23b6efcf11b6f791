#include "cli/ipv4.h"

namespace ketrova {
namespace {

// The 25 code points with the Unicode property White_Space, UTF-8 encoded.
constexpr std::string_view WHITE_SPACE[] = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",
    "\x20",         "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::size_t leading_space(std::string_view text) {
  for (std::string_view space : WHITE_SPACE) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

std::size_t trailing_space(std::string_view text) {
  for (std::string_view space : WHITE_SPACE) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

std::string_view trim_white_space(std::string_view text) {
  while (std::size_t n = leading_space(text)) text.remove_prefix(n);
  while (std::size_t n = trailing_space(text)) text.remove_suffix(n);
  return text;
}

std::optional<std::uint8_t> parse_octet(std::string_view piece) {
  if (piece.starts_with('+')) piece.remove_prefix(1);
  if (piece.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<Ipv4Address> parse_ipv4(std::string_view text) {
  text = trim_white_space(text);
  Ipv4Address address;
  for (std::size_t index = 0; index < 4; ++index) {
    const std::size_t dot = text.find('.');
    const bool last = index == 3;
    // Exactly three full stops: the last piece must have none, the others one.
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    const std::optional<std::uint8_t> octet = parse_octet(text.substr(0, dot));
    if (!octet) return std::nullopt;
    address.octets[index] = *octet;
    if (!last) text.remove_prefix(dot + 1);
  }
  return address;
}

}  // namespace ketrova
