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

// The monotonic moments a request's stamp can stand for. `sent` is the
// clocks as read just before the request was sent (nothing of its life is
// stamped earlier), `read_at` as read just after the stamp was. Where the
// real-time clock was set between the two readings (their offsets differ by
// more than the readings' slack), the stamp was taken either before the
// step, on the clock of the send, or after it, on the clock as read: each
// yields a moment where that falls within [`sent`, `read_at`] (as
// stamp_to_monotonic judges it); a step larger than that interval leaves
// one. Without a step both are the same. (Of several steps in one request's
// life only the first and the last offsets are known: a stamp taken between
// two steps fits neither, or is off by the steps between.)
struct StampCandidates {
  std::optional<Nanos> on_sent_clock;
  std::optional<Nanos> on_read_clock;
  Nanos sent_offset = 0;  // real-time minus monotonic, at the send
  Nanos read_offset = 0;  // and at the stamp's reading
};
StampCandidates stamp_candidates(Nanos stamp, ClockPair sent, ClockPair read_at);

// Whether a stamp read at `read_at` can be one of the request's (some
// candidate exists).
bool stamp_fits(Nanos stamp, ClockPair sent, ClockPair read_at);

// The moment on the monotonic clock: the stamp as on the clock of the send
// where it can be that (a transmit stamp is taken during the send), else as
// on the clock it was read with, else the fallback.
Nanos monotonic_moment(const StampedMoment& moment, ClockPair sent);

// The round trip of an answer that arrived at `arrival` to a request that
// departed at `departure` (both monotonic), in whole milliseconds, truncated;
// an arrival before the departure (a request stamped late) counts as 0. An
// answer that arrived more than `timeout_ms` after the departure yields
// nothing: it came too late, however early it was read.
std::optional<std::uint32_t> round_trip_ms(Nanos departure, Nanos arrival,
                                           std::uint32_t timeout_ms);

// The same from the two stamped moments of a request sent at `sent`.
// Where both stamps can have been taken on one and the same clock, the round
// trip is the difference of the two stamps, whenever and however late each
// was read, whatever step of the real-time clock fell before them, after
// them or between their readings. Where they can only lie on either side of
// a step (it fell between the request's own two stamps), it is the time
// between their monotonic moments, each stamp taken on its own side's
// clock. Otherwise (a stamp missing, or fitting no reading) it is the
// difference of their monotonic moments, the fallbacks standing in. A step
// between the two stamps that both sides fit (one smaller than the time
// from the send to the answer's reading) cannot be told from one after
// them: the stamps' difference is taken, off by the step.
std::optional<std::uint32_t> round_trip_ms(const StampedMoment& departure,
                                           const StampedMoment& arrival, ClockPair sent,
                                           std::uint32_t timeout_ms);

}  // namespace ketrova
