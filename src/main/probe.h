#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "echo/echo_service.h"
#include "echo/reply_record.h"
#include "net/ipv4_address.h"
#include "report/report.h"

namespace ketrova {

inline constexpr std::uint32_t PROBE_COUNT = 10;
inline constexpr std::uint32_t PROBE_TIMEOUT_MS = 1000;
inline constexpr std::string_view PROBE_PAYLOAD = "Ketrova-Diagnostic-Probe";
inline constexpr std::size_t REPLY_BUFFER_SIZE = 72;
inline constexpr std::string_view DEFAULT_TARGET = "1.1.1.1";

inline constexpr std::string_view NOTE_MISSING_SOURCE = "missing --src-ip";
inline constexpr std::string_view NOTE_INVALID_SOURCE = "invalid --src-ip";
inline constexpr std::string_view NOTE_INVALID_TARGET = "invalid --target-ip";
inline constexpr std::string_view NOTE_SERVICE_UNAVAILABLE = "IcmpCreateFile failed";
inline constexpr std::string_view NOTE_BIND_FAILED = "source bind failed (WinError 1231)";

static_assert(PROBE_PAYLOAD.size() == 24);
static_assert(REPLY_BUFFER_SIZE == REPLY_RECORD_SIZE + PROBE_PAYLOAD.size() + 8);

struct SeriesResult {
  std::vector<std::uint32_t> rtt_samples;  // one per successful reply, in request order
  bool bind_failed = false;                // a request failed with 1214 or 1231
};

struct SeriesSummary {
  std::uint32_t received = 0;
  std::uint32_t loss_rate = 100;
  std::uint32_t avg_latency_ms = 0;
  std::uint32_t jitter_ms = 0;
  LinkStatus status = LinkStatus::unavailable;
  std::string_view note;
};

// Sends PROBE_COUNT echo requests through an opened service, one after another.
SeriesResult run_probe_series(IcmpEchoService& icmp, Ipv4Address source, Ipv4Address target);

// Loss, average, jitter, verdict and note of a finished series.
SeriesSummary summarize_series(std::span<const std::uint32_t> rtt_samples, bool bind_failed);

// The whole run from the argument list to the report's contents.
ProbeReport run_probe(std::span<const std::string> arguments, IcmpEchoService& icmp);

}  // namespace ketrova
