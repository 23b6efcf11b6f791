#include "cli/ipv4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace ketrova {
namespace {

struct ParseCase {
  std::string text;
  std::optional<Ipv4Address> expected;
};

Ipv4Address ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return Ipv4Address{{a, b, c, d}};
}

class ParseIpv4Test : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseIpv4Test, ParsesOrRejects) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(parse_ipv4(c.text), c.expected) << "text: " << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, ParseIpv4Test,
    ::testing::Values(
        ParseCase{"10.0.0.1", ip(10, 0, 0, 1)}, ParseCase{"0.0.0.0", ip(0, 0, 0, 0)},
        ParseCase{"255.255.255.255", ip(255, 255, 255, 255)},
        ParseCase{" 10.0.0.1 ", ip(10, 0, 0, 1)}, ParseCase{"\t10.0.0.1\r\n", ip(10, 0, 0, 1)},
        ParseCase{"\xC2\xA0"
                  "10.0.0.1",
                  ip(10, 0, 0, 1)},
        ParseCase{"10.0.0.1\xC2\x85", ip(10, 0, 0, 1)},
        ParseCase{"10.0.0.1\xE3\x80\x80", ip(10, 0, 0, 1)},
        ParseCase{"\xE1\x9A\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9 "
                  "1.2.3.4\xE2\x80\xAF\xE2\x81\x9F\x0B\x0C",
                  ip(1, 2, 3, 4)},
        ParseCase{"1.2.3.04", ip(1, 2, 3, 4)}, ParseCase{"001.002.003.004", ip(1, 2, 3, 4)},
        ParseCase{"01.02.03.010", ip(1, 2, 3, 10)},
        ParseCase{"1.2.3.0000000000255", ip(1, 2, 3, 255)}, ParseCase{"+1.2.3.4", ip(1, 2, 3, 4)},
        ParseCase{"1.+2.+3.+4", ip(1, 2, 3, 4)}, ParseCase{"1.2.3.+0", ip(1, 2, 3, 0)},
        ParseCase{"+255.+255.+255.+255", ip(255, 255, 255, 255)}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, ParseIpv4Test,
    ::testing::Values(
        // Only the 25 White_Space code points are trimmed.
        ParseCase{"10.0.0.1\xE2\x80\x8B", std::nullopt},
        ParseCase{"\xEF\xBB\xBF"
                  "10.0.0.1",
                  std::nullopt},
        ParseCase{"\xE1\xA0\x8E"
                  "10.0.0.1",
                  std::nullopt},
        ParseCase{"\x1C"
                  "10.0.0.1",
                  std::nullopt},
        ParseCase{"", std::nullopt}, ParseCase{"   ", std::nullopt},
        ParseCase{"1. 2.3.4", std::nullopt}, ParseCase{"1 .2.3.4", std::nullopt},
        ParseCase{"256.0.0.1", std::nullopt}, ParseCase{"1.2.3.256", std::nullopt},
        ParseCase{"1.2.3.260", std::nullopt}, ParseCase{"1.2.3.999", std::nullopt},
        ParseCase{"1.2.3.0256", std::nullopt}, ParseCase{"1.2.3.+256", std::nullopt},
        ParseCase{"1.2.3.+", std::nullopt}, ParseCase{"1.2.3.-", std::nullopt},
        ParseCase{"-1.2.3.4", std::nullopt}, ParseCase{"1.2.3.-0", std::nullopt},
        ParseCase{"1.2.3.++1", std::nullopt}, ParseCase{"1.2.3.+-1", std::nullopt},
        ParseCase{"1.2.3", std::nullopt}, ParseCase{"1.2.3.4.5", std::nullopt},
        ParseCase{"1.2.3.4.", std::nullopt}, ParseCase{".1.2.3", std::nullopt},
        ParseCase{"1..2.3", std::nullopt}, ParseCase{"...", std::nullopt},
        ParseCase{"0x1.2.3.4", std::nullopt}, ParseCase{"1.2.3.a", std::nullopt},
        ParseCase{"1.2.3.4/24", std::nullopt}, ParseCase{"1.2.3.4:80", std::nullopt},
        ParseCase{"16909060", std::nullopt},
        ParseCase{"\xEF\xBC\x91.2.3.4", std::nullopt},  // full-width digit one
        ParseCase{"1\xEF\xBC\x8E"
                  "2.3.4",
                  std::nullopt},                                // full-width full stop
        ParseCase{"\xD9\xA1.2.3.4", std::nullopt},              // Arabic-Indic digit one
        ParseCase{"99999999999999999999.1.1.1", std::nullopt},  // no overflow wraps to valid
        // Values that wrap to a valid octet modulo 2^32 or 2^64.
        ParseCase{"4294967296.1.1.1", std::nullopt}, ParseCase{"1.1.1.4294967297", std::nullopt},
        ParseCase{"1.4294967551.1.1", std::nullopt}, ParseCase{"1.1.+4294967296.1", std::nullopt},
        ParseCase{"1.1.1.18446744073709551616", std::nullopt},
        ParseCase{"18446744073709551871.1.1.1", std::nullopt},
        ParseCase{std::string("1.2.3.4\0", 8), std::nullopt}));

TEST(Ipv4AddressTest, NetworkOrderPutsTheFirstOctetFirstInMemory) {
  const std::uint32_t value = to_network_order(ip(10, 0, 0, 1));
  unsigned char bytes[4];
  std::memcpy(bytes, &value, 4);
  EXPECT_EQ(bytes[0], 0x0A);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(bytes[2], 0x00);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(from_network_order(value), ip(10, 0, 0, 1));
}

// Every White_Space code point, its UTF-8 bytes written out, is trimmed
// before, after and on both sides; its neighbours that are not White_Space
// are not.
struct SpaceCase {
  const char* code_point;
  std::string bytes;
};

class WhiteSpaceTest : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(WhiteSpaceTest, IsTrimmedFromEitherEnd) {
  const std::string& space = GetParam().bytes;
  for (const std::string& text :
       {space + "10.0.0.1", "10.0.0.1" + space, space + space + "10.0.0.1" + space + space}) {
    EXPECT_EQ(parse_ipv4(text), ip(10, 0, 0, 1)) << "U+" << GetParam().code_point;
  }
  // Only from the ends: inside the text it is an error.
  EXPECT_EQ(parse_ipv4("10.0." + space + "0.1"), std::nullopt) << "U+" << GetParam().code_point;
}

INSTANTIATE_TEST_SUITE_P(
    CodePoints, WhiteSpaceTest,
    ::testing::Values(SpaceCase{"0009", "\x09"}, SpaceCase{"000A", "\x0A"},
                      SpaceCase{"000B", "\x0B"}, SpaceCase{"000C", "\x0C"},
                      SpaceCase{"000D", "\x0D"}, SpaceCase{"0020", "\x20"},
                      SpaceCase{"0085", "\xC2\x85"}, SpaceCase{"00A0", "\xC2\xA0"},
                      SpaceCase{"1680", "\xE1\x9A\x80"}, SpaceCase{"2000", "\xE2\x80\x80"},
                      SpaceCase{"2001", "\xE2\x80\x81"}, SpaceCase{"2002", "\xE2\x80\x82"},
                      SpaceCase{"2003", "\xE2\x80\x83"}, SpaceCase{"2004", "\xE2\x80\x84"},
                      SpaceCase{"2005", "\xE2\x80\x85"}, SpaceCase{"2006", "\xE2\x80\x86"},
                      SpaceCase{"2007", "\xE2\x80\x87"}, SpaceCase{"2008", "\xE2\x80\x88"},
                      SpaceCase{"2009", "\xE2\x80\x89"}, SpaceCase{"200A", "\xE2\x80\x8A"},
                      SpaceCase{"2028", "\xE2\x80\xA8"}, SpaceCase{"2029", "\xE2\x80\xA9"},
                      SpaceCase{"202F", "\xE2\x80\xAF"}, SpaceCase{"205F", "\xE2\x81\x9F"},
                      SpaceCase{"3000", "\xE3\x80\x80"}),
    [](const auto& info) { return std::string("U") + info.param.code_point; });

TEST(NotWhiteSpaceTest, NeighboursAreNotTrimmed) {
  for (const SpaceCase& c :
       {SpaceCase{"0008", "\x08"},         SpaceCase{"000E", "\x0E"},
        SpaceCase{"001F", "\x1F"},         SpaceCase{"0021", "!"},
        SpaceCase{"0084", "\xC2\x84"},     SpaceCase{"0086", "\xC2\x86"},
        SpaceCase{"009F", "\xC2\x9F"},     SpaceCase{"00A1", "\xC2\xA1"},
        SpaceCase{"167F", "\xE1\x99\xBF"}, SpaceCase{"1681", "\xE1\x9A\x81"},
        SpaceCase{"1FFF", "\xE1\xBF\xBF"}, SpaceCase{"200B", "\xE2\x80\x8B"},
        SpaceCase{"2027", "\xE2\x80\xA7"}, SpaceCase{"202A", "\xE2\x80\xAA"},
        SpaceCase{"202E", "\xE2\x80\xAE"}, SpaceCase{"2030", "\xE2\x80\xB0"},
        SpaceCase{"205E", "\xE2\x81\x9E"}, SpaceCase{"2060", "\xE2\x81\xA0"},
        SpaceCase{"2FFF", "\xE2\xBF\xBF"}, SpaceCase{"3001", "\xE3\x80\x81"}}) {
    EXPECT_EQ(parse_ipv4(c.bytes + "10.0.0.1"), std::nullopt) << "U+" << c.code_point;
    EXPECT_EQ(parse_ipv4("10.0.0.1" + c.bytes), std::nullopt) << "U+" << c.code_point;
  }
}

TEST(FormatIpv4, WritesPlainDottedQuad) {
  EXPECT_EQ(format_ipv4(ip(0, 0, 0, 0)), "0.0.0.0");
  EXPECT_EQ(format_ipv4(ip(10, 1, 20, 255)), "10.1.20.255");
}

}  // namespace
}  // namespace ketrova
