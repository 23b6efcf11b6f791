#include "echo/echo_timing.h"

namespace ketrova {
namespace {

// A stamp taken just before the clocks were read may convert to a moment a
// little after the reading, and one taken at the send a little before it.
constexpr Nanos READING_SLACK = NANOS_PER_MS;

// How far the offset between the two clocks may move between two readings
// without being taken for a step: the rate corrections of time
// synchronisation (at most 0.05 %) over a wait, and the readings' own error.
constexpr Nanos STEP_SLACK = NANOS_PER_MS;

Nanos offset_of(ClockPair clocks) {
  return clocks.realtime - clocks.monotonic;
}

}  // namespace

ClockPair bracket_clocks(Nanos monotonic_before, Nanos realtime, Nanos monotonic_after) {
  return {realtime, monotonic_before + (monotonic_after - monotonic_before) / 2};
}

std::optional<Nanos> stamp_to_monotonic(Nanos stamp, ClockPair now, Nanos earliest) {
  const Nanos moment = stamp - offset_of(now);
  if (moment < earliest - READING_SLACK || moment > now.monotonic + READING_SLACK) {
    return std::nullopt;
  }
  if (moment < earliest) return earliest;
  if (moment > now.monotonic) return now.monotonic;
  return moment;
}

Nanos monotonic_moment(const StampedMoment& moment, Nanos earliest) {
  if (moment.stamp) {
    if (auto converted = stamp_to_monotonic(*moment.stamp, moment.read_at, earliest)) {
      return *converted;
    }
  }
  return moment.fallback;
}

std::optional<std::uint32_t> round_trip_ms(Nanos departure, Nanos arrival,
                                           std::uint32_t timeout_ms) {
  const Nanos elapsed = arrival - departure;
  if (elapsed > static_cast<Nanos>(timeout_ms) * NANOS_PER_MS) return std::nullopt;
  if (elapsed <= 0) return 0;
  return static_cast<std::uint32_t>(elapsed / NANOS_PER_MS);
}

std::optional<std::uint32_t> round_trip_ms(const StampedMoment& departure,
                                           const StampedMoment& arrival, Nanos earliest,
                                           std::uint32_t timeout_ms) {
  const bool both_usable = departure.stamp && arrival.stamp &&
                           stamp_to_monotonic(*departure.stamp, departure.read_at, earliest) &&
                           stamp_to_monotonic(*arrival.stamp, arrival.read_at, earliest);
  if (both_usable) {
    const Nanos step = offset_of(arrival.read_at) - offset_of(departure.read_at);
    if (step >= -STEP_SLACK && step <= STEP_SLACK) {
      return round_trip_ms(*departure.stamp, *arrival.stamp, timeout_ms);
    }
  }
  return round_trip_ms(monotonic_moment(departure, earliest), monotonic_moment(arrival, earliest),
                       timeout_ms);
}

}  // namespace ketrova
