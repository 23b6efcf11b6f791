#pragma once

#include <cstdint>
#include <optional>

namespace ketrova {

// Moments and durations in nanoseconds.
using Nanos = std::int64_t;

inline constexpr Nanos NANOS_PER_MS = 1'000'000;

// The real-time and the monotonic clock, read one right after the other.
struct ClockPair {
  Nanos realtime = 0;
  Nanos monotonic = 0;
};

// The kernel stamps packets on the real-time clock; the wait runs on the
// monotonic one. A stamp converts through the offset between the two clocks
// at `now`, which is exact unless the real-time clock was stepped between the
// stamp and `now`. A result outside [`earliest`, `now`] can only come from
// such a step (or a stamp of something else) and yields nothing.
std::optional<Nanos> stamp_to_monotonic(Nanos stamp, ClockPair now, Nanos earliest);

// The round trip of an answer that arrived at `arrival` to a request that
// departed at `departure` (both monotonic), in whole milliseconds, truncated;
// an arrival before the departure (a request stamped late) counts as 0. An
// answer that arrived more than `timeout_ms` after the departure yields
// nothing: it came too late, however early it was read.
std::optional<std::uint32_t> round_trip_ms(Nanos departure, Nanos arrival,
                                           std::uint32_t timeout_ms);

}  // namespace ketrova
