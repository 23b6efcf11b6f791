#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "monitor/plugin.h"
#include "monitor/prometheus.h"
#include "monitor/report_reader.h"
#include "report/report.h"

namespace ketrova {
namespace {

ProbeReport make(LinkStatus status, std::uint32_t loss, std::uint32_t avg, std::uint32_t jitter,
                 std::uint32_t sent, std::uint32_t received, std::string src, std::string target,
                 std::string note) {
  return ProbeReport{status, loss, avg, jitter, sent, received, src, target, note};
}

// One report of each outcome row, and texts that need every escape.
const ProbeReport AVAILABLE =
    make(LinkStatus::available, 0, 13, 5, 10, 10, "192.0.2.10", "198.51.100.7", "");
const ProbeReport UNSTABLE =
    make(LinkStatus::unstable, 10, 250, 101, 10, 9, "192.0.2.10", "198.51.100.7", "");
const ProbeReport NO_REPLY =
    make(LinkStatus::unavailable, 100, 0, 0, 10, 0, "192.0.2.10", "198.51.100.7", "");
const ProbeReport BIND_FAILED = make(LinkStatus::unavailable, 20, 7, 2, 10, 8, "192.0.2.10",
                                     "198.51.100.7", "source bind failed (WinError 1231)");
const ProbeReport MISSING =
    make(LinkStatus::unavailable, 100, 0, 0, 0, 0, "", "", "missing --src-ip");
const ProbeReport INVALID_SOURCE = make(LinkStatus::unavailable, 100, 0, 0, 0, 0, "a\\\"b\n|c",
                                        "198.51.100.7", "invalid --src-ip");
const ProbeReport INVALID_TARGET = make(LinkStatus::unavailable, 100, 0, 0, 0, 0, "192.0.2.10",
                                        "10.0.0.256", "invalid --target-ip");
const ProbeReport SERVICE_UNAVAILABLE = make(LinkStatus::unavailable, 100, 0, 0, 0, 0, "192.0.2.10",
                                             "198.51.100.7", "IcmpCreateFile failed");
const ProbeReport CONTROLS =
    make(LinkStatus::unavailable, 100, 0, 0, 0, 0, std::string("\0\x01\b\t\f\r\x1F\x7F", 8),
         "\xC3\xA9\xF0\x9F\x98\x80", "invalid --src-ip");

void expect_same(const ProbeReport& got, const ProbeReport& want) {
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(got.loss_rate, want.loss_rate);
  EXPECT_EQ(got.avg_latency_ms, want.avg_latency_ms);
  EXPECT_EQ(got.jitter_ms, want.jitter_ms);
  EXPECT_EQ(got.sent, want.sent);
  EXPECT_EQ(got.received, want.received);
  EXPECT_EQ(got.src_ip, want.src_ip);
  EXPECT_EQ(got.target_ip, want.target_ip);
  EXPECT_EQ(got.note, want.note);
}

class ReadBackTest : public ::testing::TestWithParam<ProbeReport> {};

// Whatever the probe writes reads back as the same report, with or without
// the final line feed.
TEST_P(ReadBackTest, ReadsWhatTheProbeWrites) {
  const std::string line = format_report_line(GetParam());
  for (const std::string& text : {line, line.substr(0, line.size() - 1)}) {
    const ReadResult read = read_report_line(text);
    ASSERT_TRUE(read.report.has_value()) << read.error << " in " << text;
    EXPECT_EQ(read.error, "");
    expect_same(*read.report, GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadBackTest,
                         ::testing::Values(AVAILABLE, UNSTABLE, NO_REPLY, BIND_FAILED, MISSING,
                                           INVALID_SOURCE, INVALID_TARGET, SERVICE_UNAVAILABLE,
                                           CONTROLS,
                                           make(LinkStatus::unstable, 100, 4294967295u, 4294967295u,
                                                10, 10, "", "", "")));

struct RefusedCase {
  std::string line;
  std::string error;  // a part of the message
};

class RefusedLineTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedLineTest, RefusesWithAReason) {
  const ReadResult read = read_report_line(GetParam().line);
  EXPECT_FALSE(read.report.has_value());
  EXPECT_NE(read.error.find(GetParam().error), std::string::npos) << read.error;
}

const std::string HEAD =
    R"({"status":"available","loss_rate":0,"avg_latency_ms":13,"jitter_ms":5,)";
const std::string TAIL = R"("target_ip":"198.51.100.7","note":""})";
const std::string GOOD = HEAD + R"("sent":10,"received":10,"src_ip":"192.0.2.10",)" + TAIL;

INSTANTIATE_TEST_SUITE_P(
    Lines, RefusedLineTest,
    ::testing::Values(
        RefusedCase{"", "expected '{\"status\":\"'"}, RefusedCase{"\n", "expected"},
        RefusedCase{"not json\n", "at byte 1"},
        RefusedCase{GOOD + "\n\n", "more follows the report"},
        RefusedCase{GOOD + "\n" + GOOD + "\n", "more follows"},
        RefusedCase{GOOD + " ", "more follows"}, RefusedCase{GOOD + "\r\n", "more follows"},
        RefusedCase{" " + GOOD, "at byte 1"},
        RefusedCase{GOOD.substr(0, GOOD.size() - 1), "expected '}'"},
        RefusedCase{GOOD.substr(0, GOOD.find("192.0.2.10") + 4), "src_ip is not closed"},
        RefusedCase{R"({"status":"good")" + GOOD.substr(22), "status is not a verdict"},
        RefusedCase{R"({"status":"Available")" + GOOD.substr(22), "status is not a verdict"},
        RefusedCase{R"({"status":"available","loss_rate":00,)" + GOOD.substr(36), "leading zero"},
        RefusedCase{R"({"status":"available","loss_rate":-1,)" + GOOD.substr(36),
                    "not an unsigned integer"},
        RefusedCase{R"({"status":"available","loss_rate":0.5,)" + GOOD.substr(36),
                    "expected ',\"avg_latency_ms\":'"},
        RefusedCase{R"({"status":"available","loss_rate":1e2,)" + GOOD.substr(36), "expected"},
        RefusedCase{R"({"status":"available","loss_rate":4294967296,)" + GOOD.substr(36),
                    "out of range"},
        RefusedCase{R"({"status":"available","loss_rate":101,)" + GOOD.substr(36),
                    "loss_rate is above 100"},
        RefusedCase{R"({"loss_rate":0,"status":"available",)" + GOOD.substr(36), "expected"},
        RefusedCase{R"({ "status":"available")" + GOOD.substr(22), "at byte 1"},
        RefusedCase{HEAD + R"("sent":9,"received":9,"src_ip":"192.0.2.10",)" + TAIL,
                    "sent is neither 0 nor 10"},
        RefusedCase{HEAD + R"("sent":0,"received":1,"src_ip":"192.0.2.10",)" + TAIL,
                    "received is more than sent"},
        // Escapes and texts that the probe never writes.
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"192.0.2.10\/",)" + TAIL, "escape"},
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"\u0041",)" + TAIL, "escape"},
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"\u000a",)" + TAIL, "escape"},
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"\u001F",)" + TAIL, "escape"},
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"\u00e9",)" + TAIL, "escape"},
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"\u00",)" + TAIL, "escape"},
        RefusedCase{HEAD + R"("sent":10,"received":10,"src_ip":"\)", "escape"},
        RefusedCase{HEAD + "\"sent\":10,\"received\":10,\"src_ip\":\"a\tb\"," + TAIL,
                    "unescaped control"},
        RefusedCase{HEAD + "\"sent\":10,\"received\":10,\"src_ip\":\"a\nb\"," + TAIL,
                    "unescaped control"},
        RefusedCase{HEAD + "\"sent\":10,\"received\":10,\"src_ip\":\"\xC3\"," + TAIL,
                    "not valid UTF-8"},
        RefusedCase{HEAD + "\"sent\":10,\"received\":10,\"src_ip\":\"\xED\xA0\x80\"," + TAIL,
                    "not valid UTF-8"},
        RefusedCase{
            HEAD +
                R"("sent":10,"received":10,"src_ip":"192.0.2.10","target_ip":"198.51.100.7","note":"",)"
                R"("extra":1})",
            "expected '}'"}));

struct FractionCase {
  std::uint32_t value;
  std::uint32_t denominator;
  std::string expected;
};

class FormatFractionTest : public ::testing::TestWithParam<FractionCase> {};

TEST_P(FormatFractionTest, WritesTheShortestDecimal) {
  EXPECT_EQ(format_fraction(GetParam().value, GetParam().denominator), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatFractionTest,
    ::testing::Values(FractionCase{0, 100, "0"}, FractionCase{5, 100, "0.05"},
                      FractionCase{10, 100, "0.1"}, FractionCase{100, 100, "1"},
                      FractionCase{0, 1000, "0"}, FractionCase{1, 1000, "0.001"},
                      FractionCase{13, 1000, "0.013"}, FractionCase{1000, 1000, "1"},
                      FractionCase{1234, 1000, "1.234"}, FractionCase{2500, 1000, "2.5"},
                      FractionCase{4294967295u, 1000, "4294967.295"}));

TEST(EscapeLabelValueTest, EscapesBackslashQuoteAndLineFeedOnly) {
  EXPECT_EQ(escape_label_value(""), "");
  EXPECT_EQ(escape_label_value("a\\\"b\nc"), "a\\\\\\\"b\\nc");
  EXPECT_EQ(escape_label_value(std::string("\t\r\0\x7F\xC3\xA9{}=,", 10)),
            std::string("\t\r\0\x7F\xC3\xA9{}=,", 10));
}

TEST(TextfileMetricsTest, SeriesGivesEveryFamilyInBaseUnits) {
  const std::string labels = R"(uplink="eth1",src_ip="192.0.2.10",target_ip="198.51.100.7")";
  const std::string expected =
      "# HELP ketrova_probe_status Verdict of the last probe of the uplink: 1 for the verdict "
      "given, 0 for the "
      "others.\n"
      "# TYPE ketrova_probe_status gauge\n"
      "ketrova_probe_status{" +
      labels +
      ",status=\"available\"} 0\n"
      "ketrova_probe_status{" +
      labels +
      ",status=\"unstable\"} 0\n"
      "ketrova_probe_status{" +
      labels +
      ",status=\"unavailable\"} 1\n"
      "# HELP ketrova_probe_series_completed Whether the last probe sent its series of echo "
      "requests (0: it "
      "could not run).\n"
      "# TYPE ketrova_probe_series_completed gauge\n"
      "ketrova_probe_series_completed{" +
      labels +
      "} 1\n"
      "# HELP ketrova_probe_source_bind_failed Whether the source address could not be used for "
      "the last series.\n"
      "# TYPE ketrova_probe_source_bind_failed gauge\n"
      "ketrova_probe_source_bind_failed{" +
      labels +
      "} 1\n"
      "# HELP ketrova_probe_loss_ratio Share of the last series' echo requests left unanswered.\n"
      "# TYPE ketrova_probe_loss_ratio gauge\n"
      "ketrova_probe_loss_ratio{" +
      labels +
      "} 0.2\n"
      "# HELP ketrova_probe_rtt_average_seconds Average round-trip time of the last series' "
      "replies.\n"
      "# TYPE ketrova_probe_rtt_average_seconds gauge\n"
      "ketrova_probe_rtt_average_seconds{" +
      labels +
      "} 0.007\n"
      "# HELP ketrova_probe_jitter_seconds Spread of the last series' round-trip times (largest "
      "less smallest).\n"
      "# TYPE ketrova_probe_jitter_seconds gauge\n"
      "ketrova_probe_jitter_seconds{" +
      labels +
      "} 0.002\n"
      "# HELP ketrova_probe_replies_received Echo replies received in the last series.\n"
      "# TYPE ketrova_probe_replies_received gauge\n"
      "ketrova_probe_replies_received{" +
      labels + "} 8\n";
  EXPECT_EQ(format_textfile_metrics(BIND_FAILED, "eth1"), expected);
}

struct MetricsCase {
  ProbeReport report;
  std::string uplink;
  std::vector<std::string> samples;  // lines that must be there
  bool series;                       // whether the series' families are there
};

class TextfileRowsTest : public ::testing::TestWithParam<MetricsCase> {};

TEST_P(TextfileRowsTest, HoldsTheRowsSamples) {
  const std::string text = format_textfile_metrics(GetParam().report, GetParam().uplink);
  for (const std::string& sample : GetParam().samples) {
    EXPECT_NE(text.find("\n" + sample + "\n"), std::string::npos) << sample << " not in\n" << text;
  }
  for (const char* family : {"ketrova_probe_loss_ratio", "ketrova_probe_rtt_average_seconds",
                             "ketrova_probe_jitter_seconds", "ketrova_probe_replies_received"}) {
    EXPECT_EQ(text.find(std::string("# TYPE ") + family + " gauge\n") != std::string::npos,
              GetParam().series)
        << family;
  }
  // One sample or comment a line: no raw line feed inside a label.
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n';
  EXPECT_EQ(lines, GetParam().series ? 23u : 11u);
}

const std::string LABELS = R"(src_ip="192.0.2.10",target_ip="198.51.100.7")";

INSTANTIATE_TEST_SUITE_P(
    Rows, TextfileRowsTest,
    ::testing::Values(
        MetricsCase{
            AVAILABLE,
            "eth1",
            {"ketrova_probe_status{uplink=\"eth1\"," + LABELS + ",status=\"available\"} 1",
             "ketrova_probe_status{uplink=\"eth1\"," + LABELS + ",status=\"unavailable\"} 0",
             "ketrova_probe_series_completed{uplink=\"eth1\"," + LABELS + "} 1",
             "ketrova_probe_source_bind_failed{uplink=\"eth1\"," + LABELS + "} 0",
             "ketrova_probe_loss_ratio{uplink=\"eth1\"," + LABELS + "} 0",
             "ketrova_probe_rtt_average_seconds{uplink=\"eth1\"," + LABELS + "} 0.013",
             "ketrova_probe_replies_received{uplink=\"eth1\"," + LABELS + "} 10"},
            true},
        MetricsCase{
            UNSTABLE,
            "192.0.2.10",
            {"ketrova_probe_status{uplink=\"192.0.2.10\"," + LABELS + ",status=\"unstable\"} 1",
             "ketrova_probe_loss_ratio{uplink=\"192.0.2.10\"," + LABELS + "} 0.1",
             "ketrova_probe_rtt_average_seconds{uplink=\"192.0.2.10\"," + LABELS + "} 0.25",
             "ketrova_probe_jitter_seconds{uplink=\"192.0.2.10\"," + LABELS + "} 0.101"},
            true},
        MetricsCase{
            NO_REPLY,
            "eth1",
            {"ketrova_probe_status{uplink=\"eth1\"," + LABELS + ",status=\"unavailable\"} 1",
             "ketrova_probe_series_completed{uplink=\"eth1\"," + LABELS + "} 1",
             "ketrova_probe_loss_ratio{uplink=\"eth1\"," + LABELS + "} 1",
             "ketrova_probe_replies_received{uplink=\"eth1\"," + LABELS + "} 0"},
            true},
        MetricsCase{
            MISSING,
            "eth1",
            {R"(ketrova_probe_status{uplink="eth1",src_ip="",target_ip="",status="unavailable"} 1)",
             R"(ketrova_probe_series_completed{uplink="eth1",src_ip="",target_ip=""} 0)",
             R"(ketrova_probe_source_bind_failed{uplink="eth1",src_ip="",target_ip=""} 0)"},
            false},
        MetricsCase{
            INVALID_SOURCE,
            "up\"1",
            {R"(ketrova_probe_series_completed{uplink="up\"1",src_ip="a\\\"b\n|c",target_ip="198.51.100.7"} 0)"},
            false},
        MetricsCase{
            INVALID_TARGET,
            "eth1",
            {R"(ketrova_probe_series_completed{uplink="eth1",src_ip="192.0.2.10",target_ip="10.0.0.256"} 0)"},
            false},
        MetricsCase{
            SERVICE_UNAVAILABLE,
            "eth1",
            {"ketrova_probe_status{uplink=\"eth1\"," + LABELS + ",status=\"unavailable\"} 1",
             "ketrova_probe_series_completed{uplink=\"eth1\"," + LABELS + "} 0"},
            false}));

struct ConvertCase {
  std::vector<std::string_view> arguments;
  std::string input;
  int status;
  std::string err;  // a part of standard error; empty: none at all
};

class ConvertReportTest : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertReportTest, WritesMetricsOrOnlyAMessage) {
  const ConverterResult result = convert_report(GetParam().arguments, GetParam().input);
  EXPECT_EQ(result.status, GetParam().status);
  if (GetParam().err.empty()) {
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, format_textfile_metrics(*read_report_line(GetParam().input).report,
                                                  GetParam().arguments.front()));
  } else {
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("prometheus-textfile: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.back(), '\n');
    EXPECT_NE(result.err.find(GetParam().err), std::string::npos) << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConvertReportTest,
    ::testing::Values(ConvertCase{{"eth1"}, format_report_line(AVAILABLE), 0, ""},
                      ConvertCase{{"eth1"}, format_report_line(INVALID_SOURCE), 0, ""},
                      ConvertCase{{}, format_report_line(AVAILABLE), 2, "usage"},
                      ConvertCase{{"eth1", "eth2"}, format_report_line(AVAILABLE), 2, "usage"},
                      ConvertCase{{""}, format_report_line(AVAILABLE), 2, "uplink name"},
                      ConvertCase{{"\xFF"}, format_report_line(AVAILABLE), 2, "not valid UTF-8"},
                      ConvertCase{{"eth1"}, "", 1, "no report line"},
                      ConvertCase{{"eth1"},
                                  "ketrova-probe: failed printing to stdout\n",
                                  1,
                                  "not a report line of ketrova-probe: expected"}));

struct OutcomeCase {
  ProbeReport report;
  PluginState state;
  std::string line;
};

class PluginOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(PluginOutcomeTest, StateAndLine) {
  const PluginOutcome outcome = plugin_outcome(GetParam().report);
  EXPECT_EQ(outcome.state, GetParam().state);
  EXPECT_EQ(outcome.line, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PluginOutcomeTest,
    ::testing::Values(
        OutcomeCase{AVAILABLE, PluginState::ok,
                    "KETROVA-PROBE OK - available from 192.0.2.10 to 198.51.100.7: loss 0%, "
                    "average 13 ms, jitter 5 "
                    "ms|pl=0%;;;0;100 rta=13ms;;;0 jitter=5ms;;;0"},
        OutcomeCase{UNSTABLE, PluginState::warning,
                    "KETROVA-PROBE WARNING - unstable from 192.0.2.10 to 198.51.100.7: loss 10%, "
                    "average 250 ms, "
                    "jitter 101 ms|pl=10%;;;0;100 rta=250ms;;;0 jitter=101ms;;;0"},
        OutcomeCase{NO_REPLY, PluginState::critical,
                    "KETROVA-PROBE CRITICAL - unavailable from 192.0.2.10 to 198.51.100.7: loss "
                    "100%, average 0 ms, "
                    "jitter 0 ms|pl=100%;;;0;100 rta=0ms;;;0 jitter=0ms;;;0"},
        OutcomeCase{
            BIND_FAILED, PluginState::critical,
            "KETROVA-PROBE CRITICAL - unavailable from 192.0.2.10 to 198.51.100.7: loss 20%, "
            "average 7 ms, "
            "jitter 2 ms, note: source bind failed (WinError 1231)|pl=20%;;;0;100 rta=7ms;;;0 "
            "jitter=2ms;;;0"},
        OutcomeCase{MISSING, PluginState::unknown,
                    "KETROVA-PROBE UNKNOWN - no series sent: missing --src-ip"},
        OutcomeCase{INVALID_SOURCE, PluginState::unknown,
                    "KETROVA-PROBE UNKNOWN - no series sent from a\\\"b??c to 198.51.100.7: "
                    "invalid --src-ip"},
        OutcomeCase{INVALID_TARGET, PluginState::unknown,
                    "KETROVA-PROBE UNKNOWN - no series sent from 192.0.2.10 to 10.0.0.256: invalid "
                    "--target-ip"},
        OutcomeCase{SERVICE_UNAVAILABLE, PluginState::unknown,
                    "KETROVA-PROBE UNKNOWN - no series sent from 192.0.2.10 to 198.51.100.7: "
                    "IcmpCreateFile "
                    "failed"},
        OutcomeCase{CONTROLS, PluginState::unknown,
                    "KETROVA-PROBE UNKNOWN - no series sent from ???????? to "
                    "\xC3\xA9\xF0\x9F\x98\x80: invalid "
                    "--src-ip"}));

struct CheckCase {
  ProbeRun run;
  PluginState state;
  std::string line;  // the start of the line
};

// (Built field by field: GCC 12 at -O3 warns falsely of an uninitialised
// string in the nested aggregate otherwise.)
ProbeRun probe_run(int spawn_error, bool timed_out, int exit_status, int signal,
                   std::string output) {
  ProbeRun run;
  run.spawn_error = spawn_error;
  run.timed_out = timed_out;
  run.exit_status = exit_status;
  run.signal = signal;
  run.output = std::move(output);
  return run;
}

class CheckOutcomeTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckOutcomeTest, UnknownUnlessAReportCame) {
  const PluginOutcome outcome = check_outcome(GetParam().run, "/usr/bin/ketrova-probe", 11);
  EXPECT_EQ(outcome.state, GetParam().state);
  EXPECT_EQ(outcome.line.rfind(GetParam().line, 0), 0u) << outcome.line;
  EXPECT_EQ(outcome.line.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CheckOutcomeTest,
    ::testing::Values(
        CheckCase{probe_run(0, false, 0, 0, format_report_line(AVAILABLE)), PluginState::ok,
                  "KETROVA-PROBE OK - available"},
        CheckCase{probe_run(0, false, 0, 0, format_report_line(BIND_FAILED)), PluginState::critical,
                  "KETROVA-PROBE CRITICAL - unavailable"},
        CheckCase{
            probe_run(ENOENT, false, 0, 0, ""), PluginState::unknown,
            "KETROVA-PROBE UNKNOWN - cannot run /usr/bin/ketrova-probe: No such file or directory"},
        CheckCase{probe_run(EACCES, false, 0, 0, ""), PluginState::unknown,
                  "KETROVA-PROBE UNKNOWN - cannot run /usr/bin/ketrova-probe: Permission denied"},
        CheckCase{probe_run(0, true, 0, 0, ""), PluginState::unknown,
                  "KETROVA-PROBE UNKNOWN - /usr/bin/ketrova-probe gave no report within 11 s"},
        CheckCase{probe_run(0, false, 0, 9, ""), PluginState::unknown,
                  "KETROVA-PROBE UNKNOWN - /usr/bin/ketrova-probe was ended by signal 9"},
        CheckCase{probe_run(0, false, 1, 0, format_report_line(AVAILABLE)), PluginState::unknown,
                  "KETROVA-PROBE UNKNOWN - /usr/bin/ketrova-probe failed with exit status 1"},
        CheckCase{
            probe_run(0, false, 0, 0, ""), PluginState::unknown,
            "KETROVA-PROBE UNKNOWN - unreadable report from /usr/bin/ketrova-probe: expected"},
        CheckCase{
            probe_run(0, false, 0, 0, "oops|x\nmore\n"), PluginState::unknown,
            "KETROVA-PROBE UNKNOWN - unreadable report from /usr/bin/ketrova-probe: expected"}));

struct ArgumentsCase {
  std::vector<std::string_view> arguments;
  std::vector<std::string> probe;  // the probe's arguments
  std::string error;
};

class PluginArgumentsTest : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(PluginArgumentsTest, PassesKnownOptionsRefusesTheRest) {
  const PluginArguments parsed = parse_plugin_arguments(GetParam().arguments);
  EXPECT_EQ(parsed.error, GetParam().error);
  if (GetParam().error.empty()) {
    EXPECT_EQ(probe_arguments(parsed), GetParam().probe);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, PluginArgumentsTest,
    ::testing::Values(ArgumentsCase{{"--src-ip", "192.0.2.10"}, {"--src-ip", "192.0.2.10"}, ""},
                      ArgumentsCase{{"--src-ip=192.0.2.10", "--target-ip", "198.51.100.7"},
                                    {"--src-ip", "192.0.2.10", "--target-ip", "198.51.100.7"},
                                    ""},
                      ArgumentsCase{{"--target-ip=", "--src-ip", "--target-ip"},
                                    {"--src-ip", "--target-ip", "--target-ip", ""},
                                    ""},
                      ArgumentsCase{{}, {}, ""}, ArgumentsCase{{"--src-ip="}, {"--src-ip", ""}, ""},
                      ArgumentsCase{{"--src-ip", "192.0.2.10", "--taget-ip", "198.51.100.7"},
                                    {},
                                    "unknown argument '--taget-ip'"},
                      ArgumentsCase{{"--src-ipx=1"}, {}, "unknown argument '--src-ipx=1'"},
                      ArgumentsCase{{"192.0.2.10"}, {}, "unknown argument '192.0.2.10'"},
                      ArgumentsCase{{"--src-ip"}, {}, "--src-ip needs a value"},
                      ArgumentsCase{{"--src-ip", "a", "--src-ip=b"}, {}, "--src-ip given twice"}));

TEST(PluginArgumentsTest, HelpAndVersion) {
  EXPECT_TRUE(parse_plugin_arguments({"-h"}).help);
  EXPECT_TRUE(parse_plugin_arguments({"--help"}).help);
  EXPECT_TRUE(parse_plugin_arguments({"-V"}).version);
  EXPECT_TRUE(parse_plugin_arguments({"--version"}).version);
  EXPECT_NE(plugin_usage().find("check_ketrova_probe --src-ip ADDRESS [--target-ip ADDRESS]"),
            std::string::npos);
}

}  // namespace
}  // namespace ketrova
