#pragma once

#include <ctime>

#include "echo/echo_timing.h"

namespace ketrova {

inline Nanos clock_now(clockid_t clock) {
  timespec time{};
  ::clock_gettime(clock, &time);
  return static_cast<Nanos>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

inline Nanos monotonic_now() {
  return clock_now(CLOCK_MONOTONIC);
}

// Both clocks, the real-time reading bracketed by two monotonic ones. Where
// the process lost the processor between them (a busy host, a slow
// emulator), the readings are taken again, and the closest pair is kept.
inline ClockPair read_clocks() {
  constexpr Nanos CLOSE_ENOUGH = 20'000;
  ClockPair best;
  Nanos best_gap = -1;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const Nanos before = monotonic_now();
    const Nanos realtime = clock_now(CLOCK_REALTIME);
    const Nanos after = monotonic_now();
    const Nanos gap = after - before;
    if (best_gap < 0 || gap < best_gap) {
      best = bracket_clocks(before, realtime, after);
      best_gap = gap;
    }
    if (gap <= CLOSE_ENOUGH) break;
  }
  return best;
}

// The clocks as the echo layer reads them; a test puts its own in their
// place.
class Clocks {
 public:
  virtual ~Clocks() = default;
  virtual Nanos monotonic() = 0;
  // Both clocks, read together (read_clocks()).
  virtual ClockPair both() = 0;
};

// The system's own.
class SystemClocks final : public Clocks {
 public:
  Nanos monotonic() override { return monotonic_now(); }
  ClockPair both() override { return read_clocks(); }
};

}  // namespace ketrova
