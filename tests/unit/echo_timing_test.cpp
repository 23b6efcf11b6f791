#include "echo/echo_timing.h"

#include <gtest/gtest.h>

#include <optional>

namespace ketrova {
namespace {

constexpr Nanos kMs = NANOS_PER_MS;
// The real-time clock stands this far ahead of the monotonic one.
constexpr Nanos kOffset = 1'796'000'000'000'000'000;

struct StampCase {
  const char* name;
  Nanos stamp_monotonic;  // the stamp, as the monotonic moment it means
  Nanos offset_change;    // a step of the real-time clock since the stamp
  Nanos earliest;
  Nanos now;
  std::optional<Nanos> expected;
};

TEST(StampToMonotonicTest, ConvertsOrRejects) {
  const StampCase cases[] = {
      {"inside the window", 5'000 * kMs, 0, 4'000 * kMs, 6'000 * kMs, 5'000 * kMs},
      {"at the earliest moment", 4'000 * kMs, 0, 4'000 * kMs, 6'000 * kMs, 4'000 * kMs},
      {"at now", 6'000 * kMs, 0, 4'000 * kMs, 6'000 * kMs, 6'000 * kMs},
      // The two clocks are read one after the other.
      {"a hair after now", 6'000 * kMs + 200'000, 0, 4'000 * kMs, 6'000 * kMs, 6'000 * kMs},
      {"a hair before the earliest", 4'000 * kMs - 200'000, 0, 4'000 * kMs, 6'000 * kMs,
       4'000 * kMs},
      {"real-time clock stepped back since", 5'000 * kMs, -3'000 * kMs, 4'000 * kMs, 6'000 * kMs,
       std::nullopt},
      {"real-time clock stepped ahead since", 5'000 * kMs, 3'000 * kMs, 4'000 * kMs, 6'000 * kMs,
       std::nullopt},
      {"small step that lands before the earliest", 4'100 * kMs, 200 * kMs, 4'000 * kMs,
       6'000 * kMs, std::nullopt},
      {"stamp of an earlier request", 3'000 * kMs, 0, 4'000 * kMs, 6'000 * kMs, std::nullopt},
  };
  for (const StampCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ClockPair now{c.now + kOffset + c.offset_change, c.now};
    EXPECT_EQ(stamp_to_monotonic(c.stamp_monotonic + kOffset, now, c.earliest), c.expected);
  }
}

struct RoundTripCase {
  const char* name;
  Nanos departure;
  Nanos arrival;
  std::uint32_t timeout_ms;
  std::optional<std::uint32_t> expected;
};

TEST(RoundTripMsTest, TruncatesOrRejectsLateAnswers) {
  const RoundTripCase cases[] = {
      {"tens of microseconds", 10 * kMs, 10 * kMs + 50'000, 1000, 0u},
      {"just under a millisecond", 0, kMs - 1, 1000, 0u},
      {"exactly one millisecond", 0, kMs, 1000, 1u},
      {"37.9 ms", 0, 37 * kMs + 900'000, 1000, 37u},
      {"exactly the timeout", 0, 1000 * kMs, 1000, 1000u},
      {"a nanosecond past the timeout", 0, 1000 * kMs + 1, 1000, std::nullopt},
      {"long past the timeout", 0, 1200 * kMs, 1000, std::nullopt},
      {"arrival stamped before a late departure", 5 * kMs, 4 * kMs, 1000, 0u},
      {"departure far from zero", 7'000'000 * kMs, 7'000'000 * kMs + 999 * kMs, 1000, 999u},
      {"zero timeout, answer at once", 0, 0, 0, 0u},
      {"zero timeout, answer later", 0, 1, 0, std::nullopt},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(round_trip_ms(c.departure, c.arrival, c.timeout_ms), c.expected);
  }
}

// Both moments as the layer records them: the stamp (real-time clock), the
// offset between the clocks when it was read, the fallback (monotonic).
struct MomentsCase {
  const char* name;
  std::optional<Nanos> departure_stamp;  // as a monotonic moment
  Nanos departure_read_offset;           // offset change at its reading
  std::optional<Nanos> arrival_stamp;
  Nanos arrival_read_offset;
  Nanos departure_fallback;
  Nanos arrival_fallback;
  std::optional<std::uint32_t> expected;
};

TEST(RoundTripMsTest, TakesBothStampsOnTheirOwnClock) {
  constexpr Nanos kSent = 10'000 * kMs;
  const MomentsCase cases[] = {
      {"both stamped", kSent, 0, kSent + 40 * kMs + 10, 0, kSent + kMs, kSent + 45 * kMs, 40u},
      // A reading shifted by a delay between the clocks (up to the slack)
      // does not move the round trip: only the stamps count.
      {"the arrival's reading off by 0.9 ms", kSent, 0, kSent + 40 * kMs, -900'000, kSent,
       kSent + 41 * kMs, 40u},
      {"read long after arriving", kSent, 0, kSent + 999 * kMs, 0, kSent, kSent + 1'900 * kMs,
       999u},
      {"stamped past the timeout, read early", kSent, 0, kSent + 1'001 * kMs, 0, kSent,
       kSent + 1'001 * kMs, std::nullopt},
      {"no transmit stamp", std::nullopt, 0, kSent + 40 * kMs, 0, kSent + 2 * kMs, kSent + 50 * kMs,
       38u},
      {"no receive stamp", kSent, 0, std::nullopt, 0, kSent, kSent + 42 * kMs, 42u},
      // A step between the two readings: each stamp converted on its own.
      {"real-time clock stepped ahead between", kSent, 0, kSent + 40 * kMs, 5'000 * kMs, kSent,
       kSent + 45 * kMs, 45u},
      {"real-time clock stepped back between", kSent, 0, kSent + 40 * kMs, -5'000 * kMs, kSent,
       kSent + 45 * kMs, 45u},
  };
  for (const MomentsCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Each stamp was read a moment after it was taken.
    auto moment = [](std::optional<Nanos> at, Nanos offset_change, Nanos fallback) {
      StampedMoment m;
      const Nanos read = at.value_or(fallback) + 100'000;
      if (at) m.stamp = *at + kOffset;
      m.read_at = {read + kOffset + offset_change, read};
      m.fallback = fallback;
      return m;
    };
    EXPECT_EQ(
        round_trip_ms(moment(c.departure_stamp, c.departure_read_offset, c.departure_fallback),
                      moment(c.arrival_stamp, c.arrival_read_offset, c.arrival_fallback),
                      kSent - kMs, 1000),
        c.expected);
  }
}

TEST(BracketClocksTest, TakesTheMiddleOfTheMonotonicReadings) {
  EXPECT_EQ(bracket_clocks(1'000, 77, 1'000).monotonic, 1'000);
  EXPECT_EQ(bracket_clocks(1'000, 77, 5'000).monotonic, 3'000);
  EXPECT_EQ(bracket_clocks(1'000, 77, 5'000).realtime, 77);
}

// Kernel stamps past the end of a 32-bit time_t (2^31 s, January 2038) and
// of an unsigned one (2^32 s, February 2106): a request stamped on the
// real-time clock at `departure_s` plus `departure_ns` and its answer
// `round_trip` later, converted with the clocks read just after the answer.
struct LateStampCase {
  const char* name;
  Nanos departure_s;
  Nanos departure_ns;
  Nanos round_trip;
  std::optional<std::uint32_t> expected_ms;
};

TEST(StampToMonotonicTest, PastTheYear2038) {
  constexpr Nanos kSecond = 1'000'000'000;
  constexpr Nanos k2038 = Nanos{1} << 31;  // 2038-01-19T03:14:08Z
  const LateStampCase cases[] = {
      {"just before 2^31 s", k2038 - 1, 0, 37 * kMs + 400'000, 37u},
      {"across 2^31 s", k2038 - 1, 990 * kMs, 37 * kMs, 37u},
      {"just after 2^31 s", k2038, 1, 999 * kMs, 999u},
      {"2040-01-01", 2'208'988'800, 123'456'789, 12 * kMs, 12u},
      {"across 2^32 s (2106)", (Nanos{1} << 32) - 1, 999'999'999, 1000 * kMs, 1000u},
      {"2106, too late", Nanos{1} << 32, 0, 1000 * kMs + 1, std::nullopt},
  };
  // The monotonic clock counts from boot, long before any of these.
  constexpr Nanos kBoot = 86'400 * kSecond;
  for (const LateStampCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Nanos sent = c.departure_s * kSecond + c.departure_ns;
    const Nanos answered = sent + c.round_trip;
    const Nanos offset = sent - kBoot;
    const ClockPair now{answered, answered - offset};
    const std::optional<Nanos> departure = stamp_to_monotonic(sent, now, kBoot);
    const std::optional<Nanos> arrival = stamp_to_monotonic(answered, now, kBoot);
    ASSERT_EQ(departure, kBoot);
    ASSERT_EQ(arrival, kBoot + c.round_trip);
    EXPECT_EQ(round_trip_ms(*departure, *arrival, 1000), c.expected_ms);
  }
}

}  // namespace
}  // namespace ketrova
