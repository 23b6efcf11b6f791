#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "report/report.h"

namespace ketrova {

// A report line read back, or the reason it could not be.
struct ReadResult {
  std::optional<ProbeReport> report;
  std::string error;  // set when report is empty
};

// Reads one report line exactly as the probe writes it (format_report_line):
// the nine keys in their order, no white space, numbers as unsigned decimals
// without leading zeros, strings with the escapes that escape_json_text
// writes and no others, valid UTF-8, ended by one line feed (which may be
// missing at the very end of the text). Anything else is refused: a
// different key order, another escape form, a second line, a series of
// neither 0 nor 10 requests, more replies than requests, a loss rate above
// 100.
ReadResult read_report_line(std::string_view text);

// Whether the report is of a series that ran (every request sent).
bool series_ran(const ProbeReport& report);

// Whether the series found its source address unusable for sending.
bool source_bind_failed(const ProbeReport& report);

}  // namespace ketrova
