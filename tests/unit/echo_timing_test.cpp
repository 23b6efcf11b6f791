#include "echo/echo_timing.h"

#include <gtest/gtest.h>

#include <optional>

namespace ketrova {
namespace {

constexpr Nanos MS = NANOS_PER_MS;
// The real-time clock stands this far ahead of the monotonic one.
constexpr Nanos OFFSET = 1'796'000'000'000'000'000;

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
      {"inside the window", 5'000 * MS, 0, 4'000 * MS, 6'000 * MS, 5'000 * MS},
      {"at the earliest moment", 4'000 * MS, 0, 4'000 * MS, 6'000 * MS, 4'000 * MS},
      {"at now", 6'000 * MS, 0, 4'000 * MS, 6'000 * MS, 6'000 * MS},
      // The two clocks are read one after the other.
      {"a hair after now", 6'000 * MS + 200'000, 0, 4'000 * MS, 6'000 * MS, 6'000 * MS},
      {"a hair before the earliest", 4'000 * MS - 200'000, 0, 4'000 * MS, 6'000 * MS, 4'000 * MS},
      {"real-time clock stepped back since", 5'000 * MS, -3'000 * MS, 4'000 * MS, 6'000 * MS,
       std::nullopt},
      {"real-time clock stepped ahead since", 5'000 * MS, 3'000 * MS, 4'000 * MS, 6'000 * MS,
       std::nullopt},
      {"small step that lands before the earliest", 4'100 * MS, 200 * MS, 4'000 * MS, 6'000 * MS,
       std::nullopt},
      {"stamp of an earlier request", 3'000 * MS, 0, 4'000 * MS, 6'000 * MS, std::nullopt},
  };
  for (const StampCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ClockPair now{c.now + OFFSET + c.offset_change, c.now};
    EXPECT_EQ(stamp_to_monotonic(c.stamp_monotonic + OFFSET, now, c.earliest), c.expected);
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
      {"tens of microseconds", 10 * MS, 10 * MS + 50'000, 1000, 0u},
      {"just under a millisecond", 0, MS - 1, 1000, 0u},
      {"exactly one millisecond", 0, MS, 1000, 1u},
      {"37.9 ms", 0, 37 * MS + 900'000, 1000, 37u},
      {"exactly the timeout", 0, 1000 * MS, 1000, 1000u},
      {"a nanosecond past the timeout", 0, 1000 * MS + 1, 1000, std::nullopt},
      {"long past the timeout", 0, 1200 * MS, 1000, std::nullopt},
      {"arrival stamped before a late departure", 5 * MS, 4 * MS, 1000, 0u},
      {"departure far from zero", 7'000'000 * MS, 7'000'000 * MS + 999 * MS, 1000, 999u},
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
  constexpr Nanos SENT = 10'000 * MS;
  const MomentsCase cases[] = {
      {"both stamped", SENT, 0, SENT + 40 * MS + 10, 0, SENT + MS, SENT + 45 * MS, 40u},
      // A reading shifted by a delay between the clocks (up to the slack)
      // does not move the round trip: only the stamps count.
      {"the arrival's reading off by 0.9 ms", SENT, 0, SENT + 40 * MS, -900'000, SENT,
       SENT + 41 * MS, 40u},
      {"the arrival's reading 0.9 ms ahead, 40.2 ms", SENT, 0, SENT + 40 * MS + 200'000, 900'000,
       SENT, SENT + 41 * MS, 40u},
      {"read long after arriving", SENT, 0, SENT + 999 * MS, 0, SENT, SENT + 1'900 * MS, 999u},
      {"stamped past the timeout, read early", SENT, 0, SENT + 1'001 * MS, 0, SENT,
       SENT + 1'001 * MS, std::nullopt},
      {"no transmit stamp", std::nullopt, 0, SENT + 40 * MS, 0, SENT + 2 * MS, SENT + 50 * MS, 38u},
      {"no receive stamp", SENT, 0, std::nullopt, 0, SENT, SENT + 42 * MS, 42u},
      // A step between the two readings, after both stamps were taken: the
      // stamps' own difference, as without the step.
      {"real-time clock stepped ahead between", SENT, 0, SENT + 40 * MS, 5'000 * MS, SENT,
       SENT + 45 * MS, 40u},
      {"real-time clock stepped back between", SENT, 0, SENT + 40 * MS, -5'000 * MS, SENT,
       SENT + 45 * MS, 40u},
  };
  for (const MomentsCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Each stamp was read a moment after it was taken.
    auto moment = [](std::optional<Nanos> at, Nanos offset_change, Nanos fallback) {
      StampedMoment m;
      const Nanos read = at.value_or(fallback) + 100'000;
      if (at) m.stamp = *at + OFFSET;
      m.read_at = {read + OFFSET + offset_change, read};
      m.fallback = fallback;
      return m;
    };
    EXPECT_EQ(
        round_trip_ms(moment(c.departure_stamp, c.departure_read_offset, c.departure_fallback),
                      moment(c.arrival_stamp, c.arrival_read_offset, c.arrival_fallback),
                      ClockPair{SENT - MS + OFFSET, SENT - MS}, 1000),
        c.expected);
  }
}

// A request's life on a fake pair of clocks whose real-time clock is set
// once, by `step`, at the monotonic moment `step_at`: the stamps and the
// readings of moments after it carry the step, earlier stamps keep the old
// time, as after clock_settime.
struct SteppedClocks {
  Nanos step = 0;
  Nanos step_at = 0;
  Nanos offset(Nanos moment) const { return OFFSET + (moment >= step_at ? step : 0); }
  ClockPair read(Nanos moment) const { return {moment + offset(moment), moment}; }
  StampedMoment stamped(Nanos taken, Nanos read_at) const {
    return {taken + offset(taken), read(read_at), read_at};
  }
};

enum class StepAt {
  before_send,            // the whole request on the new clock
  before_departure_read,  // both stamps taken before it, the departure's read after
  between_stamps,         // between the request's own two stamps
  after_arrival,          // both stamps taken before it, both read after
};

struct ClockStepCase {
  const char* name;
  Nanos step;
  StepAt at;
  bool held;  // the process held 1200 ms after its send, reading both stamps only then
  Nanos round_trip;
  std::optional<std::uint32_t> expected;
};

TEST(RoundTripMsTest, ClockStepsAroundARequest) {
  constexpr Nanos SENT = 10'000 * MS;
  constexpr Nanos DEPARTED = SENT + 20'000;
  constexpr Nanos HOUR = 3'600'000 * MS;
  const ClockStepCase cases[] = {
      {"+2 s before the send", 2'000 * MS, StepAt::before_send, false, 40 * MS, 40u},
      {"-2 s before the send, held", -2'000 * MS, StepAt::before_send, true, 40 * MS, 40u},
      {"+2 s before the transmit stamp is read", 2'000 * MS, StepAt::before_departure_read, false,
       40 * MS, 40u},
      {"-30 ms before the transmit stamp is read, so between the stamps", -30 * MS,
       StepAt::before_departure_read, false, 40 * MS, 10u},
      {"-30 ms before the transmit stamp is read, held", -30 * MS, StepAt::before_departure_read,
       true, 40 * MS, 10u},
      {"+1 h before the transmit stamp is read, held", HOUR, StepAt::before_departure_read, true,
       40 * MS, 40u},
      {"+1 h after the answer, held", HOUR, StepAt::after_arrival, true, 40 * MS, 40u},
      {"+2 s after the answer, held", 2'000 * MS, StepAt::after_arrival, true, 10'000, 0u},
      {"-2 s after the answer, held", -2'000 * MS, StepAt::after_arrival, true, 10'000, 0u},
      {"-30 ms after the answer, held", -30 * MS, StepAt::after_arrival, true, 40 * MS, 40u},
      {"+2 s after the answer", 2'000 * MS, StepAt::after_arrival, false, 40 * MS, 40u},
      {"-30 ms after the answer", -30 * MS, StepAt::after_arrival, false, 40 * MS, 40u},
      // In time, however far the clock moved while the process was held.
      {"+2 s after an answer at 999 ms, held", 2'000 * MS, StepAt::after_arrival, true, 999 * MS,
       999u},
      {"-2 s after an answer at 999 ms, held", -2'000 * MS, StepAt::after_arrival, true, 999 * MS,
       999u},
      {"+1 h after an answer at 999 ms, held", HOUR, StepAt::after_arrival, true, 999 * MS, 999u},
      {"-30 ms after an answer at 999 ms, held", -30 * MS, StepAt::after_arrival, true, 999 * MS,
       999u},
      {"+2 s after an answer at 1001 ms, held", 2'000 * MS, StepAt::after_arrival, true, 1'001 * MS,
       std::nullopt},
      {"-2 s after an answer at 1001 ms, held", -2'000 * MS, StepAt::after_arrival, true,
       1'001 * MS, std::nullopt},
      // Between the request's own stamps: where only one side of the step
      // fits each stamp's reading, the time between their monotonic moments.
      {"+2 s between the stamps", 2'000 * MS, StepAt::between_stamps, false, 40 * MS, 40u},
      {"-2 s between the stamps", -2'000 * MS, StepAt::between_stamps, false, 40 * MS, 40u},
      {"+2 s between the stamps, held", 2'000 * MS, StepAt::between_stamps, true, 40 * MS, 40u},
      {"-2 s between the stamps, held", -2'000 * MS, StepAt::between_stamps, true, 40 * MS, 40u},
      {"+1 h between the stamps, held", HOUR, StepAt::between_stamps, true, 999 * MS, 999u},
      {"+30 ms between the stamps", 30 * MS, StepAt::between_stamps, false, 40 * MS, 40u},
      // Where both sides fit, the stamps' own difference: off by the step.
      {"-30 ms between the stamps", -30 * MS, StepAt::between_stamps, false, 40 * MS, 10u},
      {"-30 ms between the stamps, held", -30 * MS, StepAt::between_stamps, true, 40 * MS, 10u},
  };
  for (const ClockStepCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Nanos arrived = DEPARTED + c.round_trip;
    const Nanos release = SENT + 1'200 * MS;
    const Nanos departure_read = c.held ? release : DEPARTED + 50'000;
    const Nanos arrival_read = c.held ? release : arrived + 50'000;
    SteppedClocks clocks{c.step, 0};
    switch (c.at) {
      case StepAt::before_send:
        clocks.step_at = SENT - 5 * MS;
        break;
      case StepAt::before_departure_read:
        clocks.step_at = DEPARTED + 10'000;
        break;
      case StepAt::between_stamps:
        clocks.step_at = DEPARTED + c.round_trip / 2;
        break;
      case StepAt::after_arrival:
        clocks.step_at = c.held ? arrived + (release - arrived) / 2 : arrived + 10'000;
        break;
    }
    const ClockPair sent = clocks.read(SENT);
    const StampedMoment departure = clocks.stamped(DEPARTED, departure_read);
    const StampedMoment arrival = clocks.stamped(arrived, arrival_read);
    EXPECT_EQ(round_trip_ms(departure, arrival, sent, 1000), c.expected);
    // The wait's deadline runs from where the request left, whatever the
    // clock did since.
    EXPECT_EQ(monotonic_moment(departure, sent), DEPARTED);
    EXPECT_TRUE(stamp_fits(*departure.stamp, sent, departure.read_at));
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
  constexpr Nanos SECOND = 1'000'000'000;
  constexpr Nanos Y2038 = Nanos{1} << 31;  // 2038-01-19T03:14:08Z
  const LateStampCase cases[] = {
      {"just before 2^31 s", Y2038 - 1, 0, 37 * MS + 400'000, 37u},
      {"across 2^31 s", Y2038 - 1, 990 * MS, 37 * MS, 37u},
      {"just after 2^31 s", Y2038, 1, 999 * MS, 999u},
      {"2040-01-01", 2'208'988'800, 123'456'789, 12 * MS, 12u},
      {"across 2^32 s (2106)", (Nanos{1} << 32) - 1, 999'999'999, 1000 * MS, 1000u},
      {"2106, too late", Nanos{1} << 32, 0, 1000 * MS + 1, std::nullopt},
  };
  // The monotonic clock counts from boot, long before any of these.
  constexpr Nanos BOOT = 86'400 * SECOND;
  for (const LateStampCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Nanos sent = c.departure_s * SECOND + c.departure_ns;
    const Nanos answered = sent + c.round_trip;
    const Nanos offset = sent - BOOT;
    const ClockPair now{answered, answered - offset};
    const std::optional<Nanos> departure = stamp_to_monotonic(sent, now, BOOT);
    const std::optional<Nanos> arrival = stamp_to_monotonic(answered, now, BOOT);
    ASSERT_EQ(departure, BOOT);
    ASSERT_EQ(arrival, BOOT + c.round_trip);
    EXPECT_EQ(round_trip_ms(*departure, *arrival, 1000), c.expected_ms);
  }
}

}  // namespace
}  // namespace ketrova
