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
  const std::string before = c.text;
  EXPECT_EQ(parse_ipv4(c.text), c.expected) << "text: " << c.text;
  EXPECT_EQ(c.text, before);
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

}  // namespace
}  // namespace ketrova
