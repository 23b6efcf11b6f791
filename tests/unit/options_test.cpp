#include "cli/options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ketrova {
namespace {

struct LookupCase {
  std::vector<std::string> arguments;
  std::string name;
  std::optional<std::string> expected;
};

class FindOptionTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(FindOptionTest, FindsTheFirstMatchingArgument) {
  const LookupCase& c = GetParam();
  EXPECT_EQ(find_option(c.arguments, c.name), c.expected);
}

const std::string SRC_OPTION = "--src-ip";
const std::string TARGET_OPTION = "--target-ip";

INSTANTIATE_TEST_SUITE_P(
    Lookups, FindOptionTest,
    ::testing::Values(
        LookupCase{{"p", "--src-ip", "10.0.0.1"}, SRC_OPTION, "10.0.0.1"},
        LookupCase{{"p", "--src-ip=10.0.0.1"}, SRC_OPTION, "10.0.0.1"},
        LookupCase{{"p", "--src-ip"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "--other", "1"}, SRC_OPTION, std::nullopt},
        LookupCase{{}, SRC_OPTION, std::nullopt}, LookupCase{{"p", "--src-ip="}, SRC_OPTION, ""},
        LookupCase{{"p", "--src-ip", ""}, SRC_OPTION, ""},
        // A separate value is taken whatever it holds, and the other lookup
        // still sees the argument that was taken as a value.
        LookupCase{{"p", "--src-ip", "--target-ip", "10.0.0.9"}, SRC_OPTION, "--target-ip"},
        LookupCase{{"p", "--src-ip", "--target-ip", "10.0.0.9"}, TARGET_OPTION, "10.0.0.9"},
        LookupCase{{"p", "--target-ip", "--src-ip", "10.0.0.1"}, SRC_OPTION, "10.0.0.1"},
        LookupCase{{"p", "--target-ip", "--src-ip", "10.0.0.1"}, TARGET_OPTION, "--src-ip"},
        LookupCase{{"p", "--src-ip", "--src-ip", "3"}, SRC_OPTION, "--src-ip"},
        LookupCase{{"p", "--src-ip", "10.0.0.1", "--src-ip=10.0.0.2"}, SRC_OPTION, "10.0.0.1"},
        LookupCase{{"p", "--src-ip=10.0.0.1", "--src-ip", "10.0.0.2"}, SRC_OPTION, "10.0.0.1"},
        LookupCase{{"p", "--src-ip==1.2.3.4"}, SRC_OPTION, "=1.2.3.4"},
        LookupCase{{"p", "--src-ip=1.2.3.4=5"}, SRC_OPTION, "1.2.3.4=5"},
        LookupCase{{"p", "--SRC-IP", "10.0.0.1"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "-src-ip", "10.0.0.1"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "--src-ip:10.0.0.1"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "--src-ip10.0.0.1"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "--src-ipx=10.0.0.1"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "--src-ip ", "10.0.0.1"}, SRC_OPTION, std::nullopt},
        LookupCase{{"p", "--src", "10.0.0.1"}, SRC_OPTION, std::nullopt},
        // The program name takes part in the scan.
        LookupCase{{"--src-ip=10.0.0.1"}, SRC_OPTION, "10.0.0.1"},
        // Nothing is trimmed from a value, and embedded NUL bytes count.
        LookupCase{{"p", "--src-ip", " 10.0.0.1 "}, SRC_OPTION, " 10.0.0.1 "},
        LookupCase{{"p", std::string("--src-ip\0=1", 11)}, SRC_OPTION, std::nullopt}));

}  // namespace
}  // namespace ketrova
