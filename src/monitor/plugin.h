#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/report.h"

namespace ketrova {

// The plugin's exit states, as monitoring systems read them.
enum class PluginState { ok = 0, warning = 1, critical = 2, unknown = 3 };

// What the plugin prints (one status line, performance data after "|"
// where a series ran) and the state it exits with.
struct PluginOutcome {
  PluginState state = PluginState::unknown;
  std::string line;
};

// The plugin's own command line: --src-ip ADDRESS and --target-ip ADDRESS
// (each also joined with "="), --help, --version. Unlike the probe, it
// refuses what it does not know, so that a misspelt option is a failed check
// and not a probe of the default target.
struct PluginArguments {
  std::optional<std::string> src_ip;
  std::optional<std::string> target_ip;
  bool help = false;
  bool version = false;
  std::string error;  // set when the command line is refused
};

PluginArguments parse_plugin_arguments(const std::vector<std::string_view>& arguments);

// The probe's arguments for a check: the options given, as given.
std::vector<std::string> probe_arguments(const PluginArguments& arguments);

// A text from the report made fit for the status line: control characters
// and "|" (which starts the performance data) become "?".
std::string status_line_text(std::string_view text);

// The outcome for a report: OK for "available", WARNING for "unstable",
// CRITICAL for "unavailable" after a series, UNKNOWN where no series ran.
PluginOutcome plugin_outcome(const ProbeReport& report);

// UNKNOWN, for a check that could not get a report; reason says why.
PluginOutcome plugin_failure(std::string_view reason);

// The usage text for --help and for a refused command line.
std::string plugin_usage();

// How a run of the probe ended, as the plugin saw it.
struct ProbeRun {
  int spawn_error = 0;     // errno when the probe could not be started
  bool timed_out = false;  // killed at the plugin's deadline
  int exit_status = 0;     // when it exited
  int signal = 0;          // when a signal ended it
  std::string output;      // its standard output
};

// The outcome of a check from the probe's run: plugin_outcome for a report
// read from a probe that exited with status 0, UNKNOWN naming the reason
// otherwise. program is the probe's path; seconds the deadline it had.
PluginOutcome check_outcome(const ProbeRun& run, std::string_view program, int seconds);

}  // namespace ketrova
