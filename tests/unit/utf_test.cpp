#include "cli/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace ketrova {
namespace {

struct RepairCase {
  std::string input;
  std::string expected;
};

class RepairUtf8Test : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RepairUtf8Test, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(repair_utf8(GetParam().input), GetParam().expected);
}

#define FFFD "\xEF\xBF\xBD"

INSTANTIATE_TEST_SUITE_P(
    Sequences, RepairUtf8Test,
    ::testing::Values(RepairCase{"", ""}, RepairCase{"10.0.0.1", "10.0.0.1"},
                      RepairCase{"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
                      RepairCase{"a\xFF"
                                 "b",
                                 "a" FFFD "b"},
                      RepairCase{"\xC3", FFFD},  // truncated at the end
                      RepairCase{"\xE2\x82"
                                 "x",
                                 FFFD "x"},                        // one subpart, one U+FFFD
                      RepairCase{"\xC0\xAF", FFFD FFFD},           // overlong: no valid lead
                      RepairCase{"\xE0\x80\x80", FFFD FFFD FFFD},  // overlong three-byte
                      RepairCase{"\xED\xA0\x80", FFFD FFFD FFFD},  // encoded surrogate
                      RepairCase{"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // above U+10FFFF
                      RepairCase{"\xF0\x9F\x98", FFFD}, RepairCase{"\x80\x80", FFFD FFFD},
                      RepairCase{std::string("a\0b", 3), std::string("a\0b", 3)}));

struct Utf16Case {
  std::u16string input;
  std::string expected;
};

class Utf16ToUtf8Test : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8Test, Converts) {
  EXPECT_EQ(utf16_to_utf8(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Units, Utf16ToUtf8Test,
    ::testing::Values(Utf16Case{u"", ""}, Utf16Case{u"abc", "abc"},
                      Utf16Case{u"\u00E9\u0800\uFFFF", "\xC3\xA9\xE0\xA0\x80\xEF\xBF\xBF"},
                      Utf16Case{u"\U0001F600", "\xF0\x9F\x98\x80"},
                      Utf16Case{std::u16string{0xD83D}, FFFD},            // lone high
                      Utf16Case{std::u16string{0xDE00, u'x'}, FFFD "x"},  // lone low
                      Utf16Case{std::u16string{0xD83D, 0xD83D, 0xDE00}, FFFD "\xF0\x9F\x98\x80"},
                      Utf16Case{std::u16string{u'a', 0, u'b'}, std::string("a\0b", 3)}));

}  // namespace
}  // namespace ketrova
