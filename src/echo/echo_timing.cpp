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

StampCandidates stamp_candidates(Nanos stamp, ClockPair sent, ClockPair read_at) {
  StampCandidates result;
  result.sent_offset = offset_of(sent);
  result.read_offset = offset_of(read_at);
  result.on_read_clock = stamp_to_monotonic(stamp, read_at, sent.monotonic);
  const Nanos step = result.read_offset - result.sent_offset;
  if (step >= -STEP_SLACK && step <= STEP_SLACK) {
    result.on_sent_clock = result.on_read_clock;
    result.sent_offset = result.read_offset;
  } else {
    // The clock as it was at the send, and the bounds of the stamp's reading.
    const ClockPair then{read_at.monotonic + result.sent_offset, read_at.monotonic};
    result.on_sent_clock = stamp_to_monotonic(stamp, then, sent.monotonic);
  }
  return result;
}

bool stamp_fits(Nanos stamp, ClockPair sent, ClockPair read_at) {
  const StampCandidates candidates = stamp_candidates(stamp, sent, read_at);
  return candidates.on_sent_clock || candidates.on_read_clock;
}

Nanos monotonic_moment(const StampedMoment& moment, ClockPair sent) {
  if (moment.stamp) {
    const StampCandidates candidates = stamp_candidates(*moment.stamp, sent, moment.read_at);
    if (candidates.on_sent_clock) return *candidates.on_sent_clock;
    if (candidates.on_read_clock) return *candidates.on_read_clock;
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
                                           const StampedMoment& arrival, ClockPair sent,
                                           std::uint32_t timeout_ms) {
  if (departure.stamp && arrival.stamp) {
    const StampCandidates left = stamp_candidates(*departure.stamp, sent, departure.read_at);
    const StampCandidates came = stamp_candidates(*arrival.stamp, sent, arrival.read_at);
    auto same_clock = [](Nanos a, Nanos b) { return a - b >= -STEP_SLACK && a - b <= STEP_SLACK; };
    struct Side {
      const std::optional<Nanos>& moment;
      Nanos offset;
    };
    const Side left_sides[] = {{left.on_sent_clock, left.sent_offset},
                               {left.on_read_clock, left.read_offset}};
    const Side came_sides[] = {{came.on_sent_clock, came.sent_offset},
                               {came.on_read_clock, came.read_offset}};
    for (const Side& l : left_sides) {
      for (const Side& c : came_sides) {
        if (l.moment && c.moment && same_clock(l.offset, c.offset)) {
          return round_trip_ms(*departure.stamp, *arrival.stamp, timeout_ms);
        }
      }
    }
  }
  // Otherwise each on its own: across a step between the two stamps, the
  // departure on the clock of the send and the arrival on the stepped one.
  return round_trip_ms(monotonic_moment(departure, sent), monotonic_moment(arrival, sent),
                       timeout_ms);
}

}  // namespace ketrova
