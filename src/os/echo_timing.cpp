#include "os/echo_timing.h"

namespace ketrova {
namespace {

// The two clocks are read one after the other, so a stamp taken just before
// the readings may convert to a moment a little after them.
constexpr Nanos kReadingSlack = NANOS_PER_MS;

}  // namespace

std::optional<Nanos> stamp_to_monotonic(Nanos stamp, ClockPair now, Nanos earliest) {
  const Nanos moment = stamp - (now.realtime - now.monotonic);
  if (moment < earliest - kReadingSlack || moment > now.monotonic + kReadingSlack) {
    return std::nullopt;
  }
  if (moment < earliest) return earliest;
  if (moment > now.monotonic) return now.monotonic;
  return moment;
}

std::optional<std::uint32_t> round_trip_ms(Nanos departure, Nanos arrival,
                                           std::uint32_t timeout_ms) {
  const Nanos elapsed = arrival - departure;
  if (elapsed > static_cast<Nanos>(timeout_ms) * NANOS_PER_MS) return std::nullopt;
  if (elapsed <= 0) return 0;
  return static_cast<std::uint32_t>(elapsed / NANOS_PER_MS);
}

}  // namespace ketrova
