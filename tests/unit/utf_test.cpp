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

// Each lead byte at the ends of its range, with the second byte at the ends of
// what that lead allows and just outside them.
INSTANTIATE_TEST_SUITE_P(
    RangeEnds, RepairUtf8Test,
    ::testing::Values(
        RepairCase{"\xC1\xBF", FFFD FFFD}, RepairCase{"\xC2\x80", "\xC2\x80"},
        RepairCase{"\xC2\x7F", FFFD "\x7F"}, RepairCase{"\xC2\xC0", FFFD FFFD},
        RepairCase{"\xDF\xBF", "\xDF\xBF"}, RepairCase{"\xE0\xA0\x80", "\xE0\xA0\x80"},
        RepairCase{"\xE0\x9F\xBF", FFFD FFFD FFFD}, RepairCase{"\xE0\xBF\xBF", "\xE0\xBF\xBF"},
        RepairCase{"\xE1\x80\x80", "\xE1\x80\x80"}, RepairCase{"\xE1\x80\xC0", FFFD FFFD},
        RepairCase{"\xEC\xBF\xBF", "\xEC\xBF\xBF"}, RepairCase{"\xED\x9F\xBF", "\xED\x9F\xBF"},
        RepairCase{"\xED\xBF\xBF", FFFD FFFD FFFD}, RepairCase{"\xEE\x80\x80", "\xEE\x80\x80"},
        RepairCase{"\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        RepairCase{"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        RepairCase{"\xF0\x8F\xBF\xBF", FFFD FFFD FFFD FFFD},
        RepairCase{"\xF1\x80\x80\x80", "\xF1\x80\x80\x80"},
        RepairCase{"\xF1\x80\x80"
                   "A",
                   FFFD "A"},
        RepairCase{"\xF3\xBF\xBF\xBF", "\xF3\xBF\xBF\xBF"},
        RepairCase{"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}));

// F5 to FF never begin a sequence: each byte and each continuation byte after
// it is one maximal subpart.
INSTANTIATE_TEST_SUITE_P(
    NeverLeadBytes, RepairUtf8Test,
    ::testing::Values(RepairCase{"\xF5\x80\x80\x80", FFFD FFFD FFFD FFFD},
                      RepairCase{"\xF6\x80\x80\x80", FFFD FFFD FFFD FFFD},
                      RepairCase{"\xF7\xBF\xBF\xBF", FFFD FFFD FFFD FFFD},
                      RepairCase{"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
                      RepairCase{"\xF9\x80", FFFD FFFD}, RepairCase{"\xFA\x80", FFFD FFFD},
                      RepairCase{"\xFB\xBF", FFFD FFFD},
                      RepairCase{"\xFC\x84\x80\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD FFFD},
                      RepairCase{"\xFD\x80", FFFD FFFD}, RepairCase{"\xFE\x80", FFFD FFFD},
                      RepairCase{"\xFF\x80", FFFD FFFD},
                      RepairCase{"x\xF5"
                                 "x",
                                 "x" FFFD "x"}));

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

// Surrogate pairs at the ends of both ranges, and the units just outside them.
INSTANTIATE_TEST_SUITE_P(
    SurrogateRangeEnds, Utf16ToUtf8Test,
    ::testing::Values(
        Utf16Case{std::u16string{0xD800, 0xDC00}, "\xF0\x90\x80\x80"},   // U+10000
        Utf16Case{std::u16string{0xD800, 0xDFFF}, "\xF0\x90\x8F\xBF"},   // U+103FF
        Utf16Case{std::u16string{0xDBFF, 0xDC00}, "\xF4\x8F\xB0\x80"},   // U+10FC00
        Utf16Case{std::u16string{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},   // U+10FFFF
        Utf16Case{std::u16string{0xD7FF, 0xDC00}, "\xED\x9F\xBF" FFFD},  // not a high one
        Utf16Case{std::u16string{0xDBFF, 0xE000}, FFFD "\xEE\x80\x80"},  // not a low one
        Utf16Case{std::u16string{0xD800, 0xDBFF}, FFFD FFFD},            // two highs
        Utf16Case{std::u16string{0xDFFF, 0xD800}, FFFD FFFD},            // wrong order
        Utf16Case{std::u16string{0xDC00, 0xDC00}, FFFD FFFD},            // two lows
        Utf16Case{std::u16string{u'x', 0xDBFF}, "x" FFFD},               // high at the end
        Utf16Case{std::u16string{0x0080, 0x07FF}, "\xC2\x80\xDF\xBF"}));

}  // namespace
}  // namespace ketrova
