#include "monitor/plugin.h"

#include <cstring>

#include "monitor/report_reader.h"

namespace ketrova {

namespace {

constexpr std::string_view SERVICE = "KETROVA-PROBE";

std::string_view state_word(PluginState state) {
  switch (state) {
    case PluginState::ok:
      return "OK";
    case PluginState::warning:
      return "WARNING";
    case PluginState::critical:
      return "CRITICAL";
    case PluginState::unknown:
      break;
  }
  return "UNKNOWN";
}

std::string head(PluginState state) {
  return std::string(SERVICE) + ' ' + std::string(state_word(state)) + " - ";
}

// " from SOURCE to TARGET", each part only where the report has the text.
std::string addresses(const ProbeReport& report) {
  std::string out;
  if (!report.src_ip.empty()) out += " from " + status_line_text(report.src_ip);
  if (!report.target_ip.empty()) out += " to " + status_line_text(report.target_ip);
  return out;
}

}  // namespace

PluginArguments parse_plugin_arguments(const std::vector<std::string_view>& arguments) {
  PluginArguments parsed;
  for (std::size_t i = 0; i < arguments.size() && parsed.error.empty(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "-h" || argument == "--help") {
      parsed.help = true;
      continue;
    }
    if (argument == "-V" || argument == "--version") {
      parsed.version = true;
      continue;
    }
    std::optional<std::string>* slot = nullptr;
    std::string_view name;
    for (const std::string_view option :
         {std::string_view("--src-ip"), std::string_view("--target-ip")}) {
      if (argument == option || (argument.starts_with(option) && argument.size() > option.size() &&
                                 argument[option.size()] == '=')) {
        name = option;
        slot = option == "--src-ip" ? &parsed.src_ip : &parsed.target_ip;
      }
    }
    if (slot == nullptr) {
      parsed.error = "unknown argument '" + std::string(argument) + "'";
    } else if (slot->has_value()) {
      parsed.error = std::string(name) + " given twice";
    } else if (argument.size() > name.size()) {
      *slot = std::string(argument.substr(name.size() + 1));
    } else if (i + 1 < arguments.size()) {
      *slot = std::string(arguments[++i]);
    } else {
      parsed.error = std::string(name) + " needs a value";
    }
  }
  return parsed;
}

std::vector<std::string> probe_arguments(const PluginArguments& arguments) {
  std::vector<std::string> out;
  if (arguments.src_ip) {
    out.push_back("--src-ip");
    out.push_back(*arguments.src_ip);
  }
  if (arguments.target_ip) {
    out.push_back("--target-ip");
    out.push_back(*arguments.target_ip);
  }
  return out;
}

std::string status_line_text(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '|') c = '?';
  }
  return out;
}

PluginOutcome plugin_outcome(const ProbeReport& report) {
  PluginOutcome outcome;
  if (!series_ran(report)) {
    outcome.line = head(PluginState::unknown) + "no series sent" + addresses(report) + ": " +
                   status_line_text(report.note);
    return outcome;
  }
  switch (report.status) {
    case LinkStatus::available:
      outcome.state = PluginState::ok;
      break;
    case LinkStatus::unstable:
      outcome.state = PluginState::warning;
      break;
    case LinkStatus::unavailable:
      outcome.state = PluginState::critical;
      break;
  }
  const std::string loss = std::to_string(report.loss_rate);
  const std::string average = std::to_string(report.avg_latency_ms);
  const std::string jitter = std::to_string(report.jitter_ms);
  outcome.line = head(outcome.state) + std::string(link_status_word(report.status)) +
                 addresses(report) + ": loss " + loss + "%, average " + average + " ms, jitter " +
                 jitter + " ms";
  if (!report.note.empty()) outcome.line += ", note: " + status_line_text(report.note);
  outcome.line += "|pl=" + loss + "%;;;0;100 rta=" + average + "ms;;;0 jitter=" + jitter + "ms;;;0";
  return outcome;
}

PluginOutcome plugin_failure(std::string_view reason) {
  return PluginOutcome{PluginState::unknown, head(PluginState::unknown) + status_line_text(reason)};
}

std::string plugin_usage() {
  return "Usage: check_ketrova_probe --src-ip ADDRESS [--target-ip ADDRESS]\n"
         "Sends ten ICMP echo requests from the local IPv4 address ADDRESS with ketrova-probe\n"
         "and reports its verdict: OK available, WARNING unstable, CRITICAL unavailable,\n"
         "UNKNOWN when no series could be sent or the probe could not run.\n";
}

PluginOutcome check_outcome(const ProbeRun& run, std::string_view program, int seconds) {
  const std::string name(program);
  if (run.spawn_error != 0) {
    return plugin_failure("cannot run " + name + ": " + std::strerror(run.spawn_error));
  }
  if (run.timed_out) {
    return plugin_failure(name + " gave no report within " + std::to_string(seconds) + " s");
  }
  if (run.signal != 0) {
    return plugin_failure(name + " was ended by signal " + std::to_string(run.signal));
  }
  if (run.exit_status != 0) {
    return plugin_failure(name + " failed with exit status " + std::to_string(run.exit_status));
  }
  const ReadResult read = read_report_line(run.output);
  if (!read.report) return plugin_failure("unreadable report from " + name + ": " + read.error);
  return plugin_outcome(*read.report);
}

}  // namespace ketrova
