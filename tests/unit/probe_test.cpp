#include "main/probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/ipv4.h"
#include "fake_icmp.h"

namespace ketrova {
namespace {

using testing::failure;
using testing::FakeIcmpEchoService;
using testing::reply;
using testing::reply_status;
using testing::ScriptedEcho;

std::vector<ScriptedEcho> replies(std::vector<std::uint32_t> times) {
  std::vector<ScriptedEcho> script;
  for (const std::uint32_t ms : times) script.push_back(reply(ms));
  return script;
}

std::vector<ScriptedEcho> repeat(ScriptedEcho step, std::size_t count) {
  return std::vector<ScriptedEcho>(count, step);
}

std::vector<ScriptedEcho> concat(std::vector<ScriptedEcho> a, const std::vector<ScriptedEcho>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct SeriesCase {
  std::string name;
  std::vector<ScriptedEcho> script;
  std::uint32_t received;
  std::uint32_t loss_rate;
  std::uint32_t avg_latency_ms;
  std::uint32_t jitter_ms;
  LinkStatus status;
  std::string note;
};

class SeriesTest : public ::testing::TestWithParam<SeriesCase> {};

TEST_P(SeriesTest, SummarizesTheSeries) {
  const SeriesCase& c = GetParam();
  FakeIcmpEchoService icmp(c.script);
  const std::vector<std::string> arguments = {"probe", "--src-ip", "192.0.2.10", "--target-ip",
                                              "198.51.100.7"};
  const ProbeReport report = run_probe(arguments, icmp);
  EXPECT_EQ(icmp.requests, PROBE_COUNT);
  EXPECT_EQ(report.sent, 10u);
  EXPECT_EQ(report.received, c.received);
  EXPECT_EQ(report.loss_rate, c.loss_rate);
  EXPECT_EQ(report.avg_latency_ms, c.avg_latency_ms);
  EXPECT_EQ(report.jitter_ms, c.jitter_ms);
  EXPECT_EQ(report.status, c.status);
  EXPECT_EQ(report.note, c.note);
  EXPECT_EQ(report.src_ip, "192.0.2.10");
  EXPECT_EQ(report.target_ip, "198.51.100.7");
}

const std::string BIND_NOTE = "source bind failed (WinError 1231)";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SeriesTest,
    ::testing::Values(
        SeriesCase{"ExampleLine", replies({12, 15, 11, 14, 13, 12, 16, 11, 13, 14}), 10, 0, 13, 5,
                   LinkStatus::available, ""},
        SeriesCase{"AverageTruncates", replies({10, 12, 11, 10, 10, 13, 10, 11, 12, 10}), 10, 0, 10,
                   3, LinkStatus::available, ""},
        SeriesCase{"JitterAbove100", replies({5, 106, 5, 5, 5, 5, 5, 5, 5, 5}), 10, 0, 15, 101,
                   LinkStatus::unstable, ""},
        SeriesCase{"JitterOf100", replies({5, 105, 5, 5, 5, 5, 5, 5, 5, 5}), 10, 0, 15, 100,
                   LinkStatus::available, ""},
        SeriesCase{"OneTimeout",
                   concat(replies({10, 10, 10, 10, 10, 10, 10, 10, 10}),
                          {failure(IP_STATUS_REQ_TIMED_OUT)}),
                   9, 10, 10, 0,
                   LinkStatus::unstable, ""},
        SeriesCase{"AllTimeouts", repeat(failure(IP_STATUS_REQ_TIMED_OUT), 10), 0, 100, 0, 0,
                   LinkStatus::unavailable, ""},
        SeriesCase{"OneReply", concat({reply(42)}, repeat(failure(IP_STATUS_REQ_TIMED_OUT), 9)), 1,
                   90, 42, 0, LinkStatus::unstable, ""},
        SeriesCase{"AllBind1231", repeat(failure(ERROR_NETWORK_UNREACHABLE_CODE), 10), 0, 100, 0, 0,
                   LinkStatus::unavailable, BIND_NOTE},
        SeriesCase{"AllBind1214", repeat(failure(ERROR_INVALID_NETNAME_CODE), 10), 0, 100, 0, 0,
                   LinkStatus::unavailable, BIND_NOTE},
        // A bind failure wins over replies that did arrive.
        SeriesCase{"EightRepliesTwo1214",
                   concat(replies({10, 10, 10, 10, 10, 10, 10, 10}),
                          repeat(failure(ERROR_INVALID_NETNAME_CODE), 2)),
                   8, 20, 10, 0,
                   LinkStatus::unavailable, BIND_NOTE},
        SeriesCase{"NonZeroStatusIsLost",
                   concat(replies({10, 10, 10, 10, 10, 10, 10, 10}),
                          {reply_status(IP_STATUS_DEST_HOST_UNREACHABLE),
                           reply_status(IP_STATUS_TTL_EXPIRED_TRANSIT)}),
                   8, 20, 10, 0,
                   LinkStatus::unstable, ""},
        SeriesCase{"OtherErrorCodesLeaveNoNote",
                   concat(replies({1, 1, 1, 1, 1}),
                          {failure(ERROR_HOST_UNREACHABLE_CODE), failure(IP_STATUS_GENERAL_FAILURE),
                           failure(1230), failure(1232), failure(0)}),
                   5, 50, 1, 0, LinkStatus::unstable, ""},
        SeriesCase{"ZeroMillisecondSamplesCount", replies({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 10, 0, 0,
                   0, LinkStatus::available, ""},
        // The sum is taken in 64 bits and the jitter compares unsigned values.
        SeriesCase{"HugeSamplesDoNotOverflow",
                   replies({4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u,
                            4294967295u, 4294967295u, 4294967295u, 4294967295u, 0}),
                   10, 0, 3865470565u, 4294967295u, LinkStatus::unstable, ""}),
    [](const auto& info) { return info.param.name; });

TEST(SeriesTest, UsesTheRunConstantsOnEveryRequest) {
  FakeIcmpEchoService icmp(replies({1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
  const Ipv4Address source{{192, 0, 2, 10}};
  const Ipv4Address target{{198, 51, 100, 7}};
  ASSERT_TRUE(icmp.open());
  const SeriesResult series = run_probe_series(icmp, source, target);
  EXPECT_EQ(series.rtt_samples.size(), 10u);
  const std::vector<std::uint8_t> payload(PROBE_PAYLOAD.begin(), PROBE_PAYLOAD.end());
  for (std::size_t i = 0; i < icmp.requests; ++i) {
    EXPECT_EQ(icmp.sources[i], source);
    EXPECT_EQ(icmp.targets[i], target);
    EXPECT_EQ(icmp.payloads[i], payload);
    EXPECT_EQ(icmp.buffer_sizes[i], 72u);
    EXPECT_EQ(icmp.timeouts[i], 1000u);
  }
}

struct RowCase {
  std::string name;
  std::vector<std::string> arguments;
  bool service_opens;
  std::string src_ip;
  std::string target_ip;
  std::string note;
};

class OutcomeRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(OutcomeRowTest, ReportsTheFirstFailureAndSendsNothing) {
  const RowCase& c = GetParam();
  FakeIcmpEchoService icmp({}, c.service_opens);
  const ProbeReport report = run_probe(c.arguments, icmp);
  EXPECT_EQ(report.status, LinkStatus::unavailable);
  EXPECT_EQ(report.loss_rate, 100u);
  EXPECT_EQ(report.avg_latency_ms, 0u);
  EXPECT_EQ(report.jitter_ms, 0u);
  EXPECT_EQ(report.sent, 0u);
  EXPECT_EQ(report.received, 0u);
  EXPECT_EQ(report.src_ip, c.src_ip);
  EXPECT_EQ(report.target_ip, c.target_ip);
  EXPECT_EQ(report.note, c.note);
  EXPECT_EQ(icmp.requests, 0u);
  EXPECT_EQ(icmp.close_calls, 0);
  // The service is opened only once both addresses are valid.
  EXPECT_EQ(icmp.open_calls, c.note == "IcmpCreateFile failed" ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OutcomeRowTest,
    ::testing::Values(
        RowCase{"NoArguments", {}, true, "", "", "missing --src-ip"},
        RowCase{"ProgramOnly", {"p"}, true, "", "", "missing --src-ip"},
        RowCase{"TargetWithoutSource",
                {"p", "--target-ip", "198.51.100.7"},
                true,
                "",
                "",
                "missing --src-ip"},
        RowCase{"SourceParsedFirst",
                {"p", "--src-ip", "bad\\", "--target-ip=\"x"},
                true,
                "bad\\",
                "\"x",
                "invalid --src-ip"},
        RowCase{"EmptySource", {"p", "--src-ip="}, true, "", "1.1.1.1", "invalid --src-ip"},
        RowCase{"InvalidTarget",
                {"p", "--src-ip", "192.0.2.10", "--target-ip", "1.2.3"},
                true,
                "192.0.2.10",
                "1.2.3",
                "invalid --target-ip"},
        RowCase{"EmptyTarget",
                {"p", "--src-ip", "192.0.2.10", "--target-ip", ""},
                true,
                "192.0.2.10",
                "",
                "invalid --target-ip"},
        RowCase{"ServiceUnavailable",
                {"p", "--src-ip", " 192.0.2.10 "},
                false,
                " 192.0.2.10 ",
                "1.1.1.1",
                "IcmpCreateFile failed"}),
    [](const auto& info) { return info.param.name; });

TEST(RunProbeTest, UsesParsedAddressesAndReportsTextsAsPassed) {
  FakeIcmpEchoService icmp(replies({3, 3, 3, 3, 3, 3, 3, 3, 3, 3}));
  const std::vector<std::string> arguments = {"p", "--src-ip", "\t192.0.2.010 "};
  const ProbeReport report = run_probe(arguments, icmp);
  EXPECT_EQ(report.src_ip, "\t192.0.2.010 ");
  EXPECT_EQ(report.target_ip, DEFAULT_TARGET);
  ASSERT_EQ(icmp.requests, 10u);
  EXPECT_EQ(icmp.sources[0], (Ipv4Address{{192, 0, 2, 10}}));
  EXPECT_EQ(icmp.targets[0], parse_ipv4(DEFAULT_TARGET));
  EXPECT_TRUE(icmp.sent_while_open);
  EXPECT_EQ(icmp.open_calls, 1);
  EXPECT_EQ(icmp.close_calls, 1);
  EXPECT_FALSE(icmp.is_open);
}

}  // namespace
}  // namespace ketrova
