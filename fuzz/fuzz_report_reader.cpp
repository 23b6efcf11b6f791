// The monitoring outputs' reader of report lines over arbitrary text. A line
// it accepts must be exactly the line the probe writes for the report it
// read (so nothing is accepted that the probe could not have written, and
// nothing is lost in reading), and what the converter and the plugin make
// of it must keep to their formats: one exposition line per sample, label
// values without raw line feeds, a plugin status line of one line whose
// only "|" starts the performance data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "monitor/plugin.h"
#include "monitor/prometheus.h"
#include "monitor/report_reader.h"
#include "report/report.h"

namespace {

using ketrova::fuzz::require;

void check_metrics(const ketrova::ProbeReport& report) {
  const std::string text = ketrova::format_textfile_metrics(report, "up\\\"\nlink");
  require(!text.empty() && text.back() == '\n');
  std::size_t lines = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string_view line(text.data() + start, end - start);
    require(line.starts_with("# HELP ketrova_probe_") || line.starts_with("# TYPE ketrova_probe_") ||
            line.starts_with("ketrova_probe_"));
    if (!line.starts_with("#")) {
      // The labels end at the last "} ": the value after it is a plain number.
      const std::size_t close = line.rfind("} ");
      require(close != std::string_view::npos);
      for (const char c : line.substr(close + 2)) require((c >= '0' && c <= '9') || c == '.');
    }
    ++lines;
    start = end + 1;
  }
  require(lines == (ketrova::series_ran(report) ? 23u : 11u));
}

void check_plugin(const ketrova::ProbeReport& report) {
  const ketrova::PluginOutcome outcome = ketrova::plugin_outcome(report);
  require(outcome.line.find('\n') == std::string::npos);
  require(outcome.line.starts_with("KETROVA-PROBE "));
  const std::size_t bar = outcome.line.find('|');
  require(ketrova::series_ran(report) ? bar != std::string::npos && bar == outcome.line.rfind('|')
                                      : bar == std::string::npos);
  require((outcome.state == ketrova::PluginState::unknown) == !ketrova::series_ran(report));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ketrova::ReadResult read = ketrova::read_report_line(text);
  require(read.report.has_value() == read.error.empty());
  if (!read.report) return 0;
  const std::string line = ketrova::format_report_line(*read.report);
  require(line == text || line.substr(0, line.size() - 1) == text);
  require(ketrova::fuzz::is_valid_utf8(line));
  check_metrics(*read.report);
  check_plugin(*read.report);
  return 0;
}
