#pragma once

#include <string>
#include <string_view>

namespace ketrova {

// Returns `bytes` with every ill-formed UTF-8 sequence replaced by U+FFFD
// (one replacement per maximal ill-formed subpart), so the result is always
// valid UTF-8. Valid input comes back unchanged.
std::string repair_utf8(std::string_view bytes);

// Converts UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace ketrova
