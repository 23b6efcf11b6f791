#pragma once

// Checks shared by the fuzz targets. They are written from the rules, not
// from the code under test, so that they can disagree with it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace ketrova::fuzz {

// A failed invariant is a finding: abort so that libFuzzer keeps the input.
inline void require(bool condition) {
  if (!condition) std::abort();
}

inline constexpr std::uint32_t ILL_FORMED = 0xFFFFFFFF;

// One decoded code point and its length in bytes; an ill-formed byte is an
// item of its own with the code point ILL_FORMED.
struct CodePoint {
  std::uint32_t value;
  std::size_t length;
};

// Decodes UTF-8 strictly: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
inline std::vector<CodePoint> decode_utf8(std::string_view text) {
  std::vector<CodePoint> items;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead < 0x80    ? 1
                               : lead >= 0xF8 ? 0
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 0;
    bool ok = length != 0 && i + length <= text.size();
    std::uint32_t value = lead;
    if (ok && length > 1) {
      value = lead & (0xFFu >> (length + 1));
      for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) ok = false;
        value = (value << 6) | (byte(k) & 0x3Fu);
      }
      constexpr std::uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
      if (value < SMALLEST[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ok = false;
      }
    }
    if (ok) {
      items.push_back({value, length});
      i += length;
    } else {
      items.push_back({ILL_FORMED, 1});
      ++i;
    }
  }
  return items;
}

inline bool is_valid_utf8(std::string_view text) {
  for (const CodePoint& item : decode_utf8(text)) {
    if (item.value == ILL_FORMED) return false;
  }
  return true;
}

}  // namespace ketrova::fuzz
