#pragma once

#include <cstdint>
#include <optional>

namespace ketrova {

// Moments and durations in nanoseconds.
using Nanos = std::int64_t;

inline constexpr Nanos NANOS_PER_MS = 1'000'000;

// The real-time and the monotonic clock read together: the monotonic reading
// is the middle of two readings taken on either side of the real-time one,
// so a delay between the readings does not shift the pair.
struct ClockPair {
  Nanos realtime = 0;
  Nanos monotonic = 0;
};

// The pair from a real-time reading and the monotonic readings just before
// and just after it.
ClockPair bracket_clocks(Nanos monotonic_before, Nanos realtime, Nanos monotonic_after);

// The kernel stamps packets on the real-time clock; the wait runs on the
// monotonic one. A stamp converts through the offset between the two clocks
// at `now`, which is exact unless the real-time clock was stepped between the
// stamp and `now`. A result outside [`earliest`, `now`] can only come from
// such a step (or a stamp of something else) and yields nothing.
std::optional<Nanos> stamp_to_monotonic(Nanos stamp, ClockPair now, Nanos earliest);

// A moment of a request's life as the kernel stamped it (a request leaving,
// an answer arriving), with the clocks as they were read right after the
// stamp was read, and the monotonic moment to go by where there is no
// usable stamp.
struct StampedMoment {
  std::optional<Nanos> stamp;  // real-time clock
  ClockPair read_at;
  Nanos fallback = 0;  // monotonic
};

// The moment on the monotonic clock: the stamp converted (as
// stamp_to_monotonic does), or the fallback where that yields nothing.
Nanos monotonic_moment(const StampedMoment& moment, Nanos earliest);

// The round trip of an answer that arrived at `arrival` to a request that
// departed at `departure` (both monotonic), in whole milliseconds, truncated;
// an arrival before the departure (a request stamped late) counts as 0. An
// answer that arrived more than `timeout_ms` after the departure yields
// nothing: it came too late, however early it was read.
std::optional<std::uint32_t> round_trip_ms(Nanos departure, Nanos arrival,
                                           std::uint32_t timeout_ms);

// The same from the two stamped moments. Where both carry a usable stamp and
// the real-time clock kept its offset from the monotonic one between the two
// readings, the round trip is the difference of the two stamps, taken on
// their own clock, whenever and however late each was read. Otherwise (a
// stamp missing, or the real-time clock stepped in between) it is the
// difference of their monotonic moments.
std::optional<std::uint32_t> round_trip_ms(const StampedMoment& departure,
                                           const StampedMoment& arrival, Nanos earliest,
                                           std::uint32_t timeout_ms);

}  // namespace ketrova
