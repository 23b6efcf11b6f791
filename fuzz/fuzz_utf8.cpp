// UTF-8 repair and UTF-16 conversion over arbitrary bytes. Repair must give
// valid UTF-8, leave valid text alone, be idempotent, and replace only
// ill-formed bytes (each replacement covering one to three of them). The
// input read as UTF-16 must convert to valid UTF-8 that converts back
// exactly when it held no unpaired surrogate.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/utf.h"
#include "fuzz_support.h"

namespace {

using ketrova::fuzz::require;

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

void check_repair(std::string_view bytes) {
  const std::string repaired = ketrova::repair_utf8(bytes);
  require(ketrova::fuzz::is_valid_utf8(repaired));
  require(ketrova::repair_utf8(repaired) == repaired);
  if (ketrova::fuzz::is_valid_utf8(bytes)) {
    require(repaired == bytes);
    return;
  }
  // The well-formed code points of the input come out unchanged and in order;
  // each run of ill-formed bytes becomes at least one replacement character
  // and never more than one per byte.
  std::string kept_in;
  std::size_t runs = 0;
  std::size_t bad_bytes = 0;
  std::size_t replacements_in = 0;
  bool in_run = false;
  std::size_t offset = 0;
  for (const auto& item : ketrova::fuzz::decode_utf8(bytes)) {
    const std::string_view piece = bytes.substr(offset, item.length);
    offset += item.length;
    if (item.value == ketrova::fuzz::ILL_FORMED) {
      runs += !in_run;
      in_run = true;
      bad_bytes += item.length;
      continue;
    }
    in_run = false;
    if (piece == REPLACEMENT) {
      ++replacements_in;
    } else {
      kept_in += piece;
    }
  }
  std::string kept_out;
  std::size_t replacements_out = 0;
  for (std::string_view rest = repaired; !rest.empty();) {
    if (rest.starts_with(REPLACEMENT)) {
      ++replacements_out;
      rest.remove_prefix(REPLACEMENT.size());
    } else {
      kept_out += rest.front();
      rest.remove_prefix(1);
    }
  }
  require(kept_out == kept_in);
  require(replacements_out >= replacements_in + runs);
  require(replacements_out <= replacements_in + bad_bytes);
}

std::string encode_utf16_back(std::string_view utf8) {
  // Re-decode UTF-8 into UTF-16 code units, as a string of byte pairs.
  std::string units;
  for (const auto& item : ketrova::fuzz::decode_utf8(utf8)) {
    auto put = [&](std::uint32_t unit) {
      units += static_cast<char>(unit & 0xFF);
      units += static_cast<char>(unit >> 8);
    };
    if (item.value >= 0x10000) {
      put(0xD800 + ((item.value - 0x10000) >> 10));
      put(0xDC00 + ((item.value - 0x10000) & 0x3FF));
    } else {
      put(item.value);
    }
  }
  return units;
}

void check_utf16(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  const std::string utf8 = ketrova::utf16_to_utf8(text);
  require(ketrova::fuzz::is_valid_utf8(utf8));
  bool unpaired = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      unpaired = true;
    }
  }
  if (!unpaired) {
    require(encode_utf16_back(utf8) ==
            std::string(reinterpret_cast<const char*>(data), text.size() * 2));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_repair(std::string_view(reinterpret_cast<const char*>(data), size));
  check_utf16(data, size);
  return 0;
}
