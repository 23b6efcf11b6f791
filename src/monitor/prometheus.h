#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/report.h"

namespace ketrova {

// A label value as the Prometheus text exposition format writes it between
// double quotes: backslash, double quote and line feed escaped, every other
// byte unchanged.
std::string escape_label_value(std::string_view value);

// A count of hundredths or thousandths as a decimal fraction with no
// trailing zeros: (5, 100) gives "0.05", (1234, 1000) gives "1.234", (100,
// 100) gives "1".
std::string format_fraction(std::uint32_t value, std::uint32_t denominator);

// The metrics of one report, for node_exporter's textfile collector: every
// family with its HELP and TYPE lines, each sample labelled with the uplink,
// the source and the target. The figures of a series (loss, latency,
// jitter, replies) only when a series ran.
std::string format_textfile_metrics(const ProbeReport& report, std::string_view uplink);

// What the converter writes and the status it ends with.
struct ConverterResult {
  int status = 0;
  std::string out;  // standard output: the metrics, or nothing
  std::string err;  // standard error: why nothing was written
};

// The converter, prometheus-textfile UPLINK, on the text it read from
// standard input: the metrics of the one report line it holds, or a
// message and status 1 (a line it cannot read) or 2 (a wrong command line).
ConverterResult convert_report(const std::vector<std::string_view>& arguments,
                               std::string_view input);

}  // namespace ketrova
