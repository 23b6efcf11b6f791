#include "report/report.h"

#include <gtest/gtest.h>

#include <string>

namespace ketrova {
namespace {

struct EscapeCase {
  std::string input;
  std::string expected;
};

class EscapeJsonTextTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeJsonTextTest, Escapes) {
  EXPECT_EQ(escape_json_text(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, EscapeJsonTextTest,
                         ::testing::Values(EscapeCase{"", ""}, EscapeCase{"a\\\"b", "a\\\\\\\"b"},
                                           EscapeCase{"192.0.2.10\\", "192.0.2.10\\\\"},
                                           EscapeCase{"source bind failed (WinError 1231)",
                                                      "source bind failed (WinError 1231)"},
                                           EscapeCase{"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
                                           EscapeCase{std::string("\0\x01\x1F", 3),
                                                      "\\u0000\\u0001\\u001f"},
                                           EscapeCase{"10.0.0.1\n", "10.0.0.1\\n"},
                                           // DEL, slash and non-ASCII pass unchanged.
                                           EscapeCase{"\x7F/\xC3\xA9\xF0\x9F\x98\x80",
                                                      "\x7F/\xC3\xA9\xF0\x9F\x98\x80"}));

struct LineCase {
  ProbeReport report;
  std::string expected;
  // The documented length of the two example lines (0: not one of them): a
  // check on the expected text as written here, which must agree with it.
  std::size_t documented_size = 0;
};

class FormatReportLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(FormatReportLineTest, MatchesByteForByte) {
  EXPECT_EQ(format_report_line(GetParam().report), GetParam().expected);
  if (GetParam().documented_size != 0) {
    EXPECT_EQ(GetParam().expected.size(), GetParam().documented_size);
  }
}

ProbeReport make(LinkStatus status, std::uint32_t loss, std::uint32_t avg, std::uint32_t jitter,
                 std::uint32_t sent, std::uint32_t received, std::string src, std::string target,
                 std::string note) {
  return ProbeReport{status, loss, avg, jitter, sent, received, src, target, note};
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FormatReportLineTest,
    ::testing::Values(
        LineCase{make(LinkStatus::unavailable, 100, 0, 0, 0, 0, "", "", "missing --src-ip"),
                 R"j({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,)j"
                 R"j("sent":0,"received":0,"src_ip":"","target_ip":"","note":"missing --src-ip"})j"
                 "\n",
                 149},
        LineCase{make(LinkStatus::available, 0, 13, 5, 10, 10, "192.0.2.10", "198.51.100.7", ""),
                 R"j({"status":"available","loss_rate":0,"avg_latency_ms":13,"jitter_ms":5,)j"
                 R"j("sent":10,"received":10,"src_ip":"192.0.2.10","target_ip":"198.51.100.7",)j"
                 R"j("note":""})j"
                 "\n",
                 154},
        LineCase{make(LinkStatus::unavailable, 100, 0, 0, 10, 0, "192.0.2.10", "198.51.100.7",
                      "source bind failed (WinError 1231)"),
                 R"j({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,)j"
                 R"j("sent":10,"received":0,"src_ip":"192.0.2.10","target_ip":"198.51.100.7",)j"
                 R"j("note":"source bind failed (WinError 1231)"})j"
                 "\n"},
        LineCase{make(LinkStatus::unavailable, 100, 0, 0, 0, 0, "192.0.2.10\\", "198.51.100.7",
                      "invalid --src-ip"),
                 R"j({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,)j"
                 R"j("sent":0,"received":0,"src_ip":"192.0.2.10\\","target_ip":"198.51.100.7",)j"
                 R"j("note":"invalid --src-ip"})j"
                 "\n"},
        LineCase{make(LinkStatus::unstable, 4294967295u, 4294967295u, 0, 1, 4294967295u, "a\nb",
                      "\t", ""),
                 R"j({"status":"unstable","loss_rate":4294967295,"avg_latency_ms":4294967295,)j"
                 R"j("jitter_ms":0,"sent":1,"received":4294967295,"src_ip":"a\nb",)j"
                 R"j("target_ip":"\t","note":""})j"
                 "\n"}));

TEST(FormatReportLineTest, ControlCharactersNeverBreakTheLine) {
  std::string hostile;
  for (int c = 0; c < 0x20; ++c) hostile += static_cast<char>(c);
  const std::string line = format_report_line(
      make(LinkStatus::unavailable, 100, 0, 0, 0, 0, hostile, hostile, "invalid --src-ip"));
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    EXPECT_GE(static_cast<unsigned char>(line[i]), 0x20u) << "at " << i;
  }
}

TEST(FormatOutputFailureTest, NamesTheStreamAndTheError) {
  const std::string message = format_output_failure("stdout", "Broken pipe");
  EXPECT_NE(message.find("failed printing to stdout: Broken pipe"), std::string::npos);
  EXPECT_EQ(message.back(), '\n');
}

}  // namespace
}  // namespace ketrova
