#include "main/probe.h"

#include <algorithm>
#include <array>
#include <optional>

#include "cli/ipv4.h"
#include "cli/options.h"
#include "echo/echo_status.h"

namespace ketrova {

SeriesResult run_probe_series(IcmpEchoService& icmp, Ipv4Address source, Ipv4Address target) {
  static constexpr auto PAYLOAD = [] {
    std::array<std::uint8_t, PROBE_PAYLOAD.size()> bytes{};
    std::copy(PROBE_PAYLOAD.begin(), PROBE_PAYLOAD.end(), bytes.begin());
    return bytes;
  }();
  std::array<std::uint8_t, REPLY_BUFFER_SIZE> reply_buffer{};
  SeriesResult result;
  result.rtt_samples.reserve(PROBE_COUNT);
  for (std::uint32_t i = 0; i < PROBE_COUNT; ++i) {
    const EchoOutcome outcome =
        icmp.send_echo(source, target, PAYLOAD, reply_buffer, PROBE_TIMEOUT_MS);
    if (outcome.reply_count != 0) {
      if (read_reply_field(reply_buffer, REPLY_STATUS_OFFSET) == IP_STATUS_SUCCESS) {
        result.rtt_samples.push_back(read_reply_field(reply_buffer, REPLY_RTT_OFFSET));
      }
    } else if (outcome.error_code == ERROR_INVALID_NETNAME_CODE ||
               outcome.error_code == ERROR_NETWORK_UNREACHABLE_CODE) {
      result.bind_failed = true;
    }
  }
  return result;
}

SeriesSummary summarize_series(std::span<const std::uint32_t> rtt_samples, bool bind_failed) {
  SeriesSummary summary;
  summary.received = static_cast<std::uint32_t>(rtt_samples.size());
  if (!rtt_samples.empty()) {
    std::uint64_t sum = 0;
    for (const std::uint32_t sample : rtt_samples) sum += sample;
    summary.avg_latency_ms = static_cast<std::uint32_t>(sum / rtt_samples.size());
    const auto [smallest, largest] = std::minmax_element(rtt_samples.begin(), rtt_samples.end());
    summary.jitter_ms = *largest - *smallest;
  }
  // More samples than requests cannot come from a series; never wrap around.
  const std::uint32_t lost = PROBE_COUNT - std::min(summary.received, PROBE_COUNT);
  summary.loss_rate = lost * 100 / PROBE_COUNT;
  if (summary.loss_rate >= 100 || bind_failed) {
    summary.status = LinkStatus::unavailable;
  } else if (summary.loss_rate >= 5 || summary.jitter_ms > 100) {
    summary.status = LinkStatus::unstable;
  } else {
    summary.status = LinkStatus::available;
  }
  summary.note = bind_failed ? NOTE_BIND_FAILED : std::string_view{};
  return summary;
}

namespace {

ProbeReport failure_report(std::string source_text, std::string target_text,
                           std::string_view note) {
  ProbeReport report;
  report.src_ip = std::move(source_text);
  report.target_ip = std::move(target_text);
  report.note = std::string(note);
  return report;
}

}  // namespace

ProbeReport run_probe(std::span<const std::string> arguments, IcmpEchoService& icmp) {
  std::optional<std::string> source_text = find_option(arguments, "--src-ip");
  if (!source_text) return failure_report({}, {}, NOTE_MISSING_SOURCE);
  std::string target_text =
      find_option(arguments, "--target-ip").value_or(std::string(DEFAULT_TARGET));

  const std::optional<Ipv4Address> source = parse_ipv4(*source_text);
  if (!source) return failure_report(std::move(*source_text), target_text, NOTE_INVALID_SOURCE);
  const std::optional<Ipv4Address> target = parse_ipv4(target_text);
  if (!target) return failure_report(std::move(*source_text), target_text, NOTE_INVALID_TARGET);
  if (!icmp.open()) {
    return failure_report(std::move(*source_text), target_text, NOTE_SERVICE_UNAVAILABLE);
  }
  const SeriesResult series = run_probe_series(icmp, *source, *target);
  icmp.close();

  const SeriesSummary summary = summarize_series(series.rtt_samples, series.bind_failed);
  ProbeReport report = failure_report(std::move(*source_text), target_text, summary.note);
  report.status = summary.status;
  report.loss_rate = summary.loss_rate;
  report.avg_latency_ms = summary.avg_latency_ms;
  report.jitter_ms = summary.jitter_ms;
  report.sent = PROBE_COUNT;
  report.received = summary.received;
  return report;
}

}  // namespace ketrova
