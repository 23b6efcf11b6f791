#include "monitor/prometheus.h"

#include "cli/utf.h"
#include "monitor/report_reader.h"

namespace ketrova {

std::string escape_label_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string format_fraction(std::uint32_t value, std::uint32_t denominator) {
  std::string out = std::to_string(value / denominator);
  std::uint32_t rest = value % denominator;
  if (rest != 0) {
    out += '.';
    for (std::uint32_t place = denominator / 10; rest != 0; place /= 10) {
      out += static_cast<char>('0' + rest / place);
      rest %= place;
    }
  }
  return out;
}

namespace {

class Exposition {
 public:
  Exposition(const ProbeReport& report, std::string_view uplink) {
    labels_ = "uplink=\"" + escape_label_value(uplink) + "\",src_ip=\"" +
              escape_label_value(report.src_ip) + "\",target_ip=\"" +
              escape_label_value(report.target_ip) + '"';
  }

  void family(std::string_view name, std::string_view help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += " gauge\n";
  }

  void sample(std::string_view name, std::string_view value, std::string_view extra_label = {}) {
    text_ += name;
    text_ += '{';
    text_ += labels_;
    if (!extra_label.empty()) {
      text_ += ',';
      text_ += extra_label;
    }
    text_ += "} ";
    text_ += value;
    text_ += '\n';
  }

  void gauge(std::string_view name, std::string_view help, std::string_view value) {
    family(name, help);
    sample(name, value);
  }

  std::string take() { return std::move(text_); }

 private:
  std::string labels_;
  std::string text_;
};

std::string_view flag(bool value) {
  return value ? "1" : "0";
}

}  // namespace

std::string format_textfile_metrics(const ProbeReport& report, std::string_view uplink) {
  Exposition out(report, uplink);
  out.family("ketrova_probe_status",
             "Verdict of the last probe of the uplink: 1 for the verdict given, 0 for the others.");
  for (const LinkStatus status :
       {LinkStatus::available, LinkStatus::unstable, LinkStatus::unavailable}) {
    out.sample("ketrova_probe_status", flag(report.status == status),
               "status=\"" + std::string(link_status_word(status)) + '"');
  }
  const bool ran = series_ran(report);
  out.gauge("ketrova_probe_series_completed",
            "Whether the last probe sent its series of echo requests (0: it could not run).",
            flag(ran));
  out.gauge("ketrova_probe_source_bind_failed",
            "Whether the source address could not be used for the last series.",
            flag(source_bind_failed(report)));
  if (ran) {
    out.gauge("ketrova_probe_loss_ratio",
              "Share of the last series' echo requests left unanswered.",
              format_fraction(report.loss_rate, 100));
    out.gauge("ketrova_probe_rtt_average_seconds",
              "Average round-trip time of the last series' replies.",
              format_fraction(report.avg_latency_ms, 1000));
    out.gauge("ketrova_probe_jitter_seconds",
              "Spread of the last series' round-trip times (largest less smallest).",
              format_fraction(report.jitter_ms, 1000));
    out.gauge("ketrova_probe_replies_received", "Echo replies received in the last series.",
              std::to_string(report.received));
  }
  return out.take();
}

ConverterResult convert_report(const std::vector<std::string_view>& arguments,
                               std::string_view input) {
  constexpr std::string_view NAME = "prometheus-textfile: ";
  if (arguments.size() != 1) {
    return {2, "", std::string(NAME) + "usage: prometheus-textfile UPLINK < REPORT-LINE\n"};
  }
  const std::string_view uplink = arguments.front();
  if (uplink.empty() || repair_utf8(uplink) != uplink) {
    return {2, "", std::string(NAME) + "the uplink name is empty or not valid UTF-8\n"};
  }
  if (input.empty()) return {1, "", std::string(NAME) + "no report line on standard input\n"};
  const ReadResult read = read_report_line(input);
  if (!read.report) {
    return {1, "", std::string(NAME) + "not a report line of ketrova-probe: " + read.error + '\n'};
  }
  return {0, format_textfile_metrics(*read.report, uplink), ""};
}

}  // namespace ketrova
