#include "echo/echo_match.h"

#include <gtest/gtest.h>

#include <vector>

namespace ketrova {
namespace {

const Ipv4Address SOURCE{{192, 0, 2, 10}};
const Ipv4Address TARGET{{198, 51, 100, 7}};
const Ipv4Address OTHER{{198, 51, 100, 8}};
const Ipv4Address ROUTER{{203, 0, 113, 1}};
const EchoRequestKey KEY{0x1234, 0x0042, SOURCE, TARGET};

IcmpMessage reply_from(Ipv4Address sender, std::uint16_t identifier, std::uint16_t sequence) {
  IcmpMessage message;
  message.kind = IcmpMessageKind::echo_reply;
  message.type = ICMP_TYPE_ECHO_REPLY;
  message.sender = sender;
  message.identifier = identifier;
  message.sequence = sequence;
  return message;
}

IcmpMessage error_quoting(std::uint8_t type, std::uint16_t identifier, std::uint16_t sequence,
                          Ipv4Address quoted_source, Ipv4Address quoted_destination) {
  IcmpMessage message;
  message.kind = IcmpMessageKind::error;
  message.type = type;
  message.sender = ROUTER;
  message.identifier = identifier;
  message.sequence = sequence;
  message.quoted_source = quoted_source;
  message.quoted_destination = quoted_destination;
  return message;
}

TEST(IcmpErrorFailsRequestTest, OnlyErrorsThatReportAFailure) {
  for (int type = 0; type < 256; ++type) {
    const bool fails = type == 3 || type == 11 || type == 12;
    EXPECT_EQ(icmp_error_fails_request(static_cast<std::uint8_t>(type)), fails) << type;
  }
}

struct MatchCase {
  const char* name;
  IcmpMessage message;
  bool quote_shows_source;
  AnswerKind expected;
};

TEST(ClassifyAnswerTest, MatchesOnlyThisVeryRequest) {
  const MatchCase cases[] = {
      {"our reply", reply_from(TARGET, 0x1234, 0x0042), true, AnswerKind::reply},
      {"reply from another host", reply_from(OTHER, 0x1234, 0x0042), true, AnswerKind::none},
      {"reply with another identifier", reply_from(TARGET, 0x1235, 0x0042), true, AnswerKind::none},
      {"reply to the previous request", reply_from(TARGET, 0x1234, 0x0041), true, AnswerKind::none},
      {"reply with the bytes swapped", reply_from(TARGET, 0x3412, 0x4200), true, AnswerKind::none},
      {"unreachable quoting it",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0042, SOURCE, TARGET), true,
       AnswerKind::failure},
      {"time exceeded quoting it",
       error_quoting(ICMP_TYPE_TIME_EXCEEDED, 0x1234, 0x0042, SOURCE, TARGET), true,
       AnswerKind::failure},
      {"parameter problem quoting it",
       error_quoting(ICMP_TYPE_PARAMETER_PROBLEM, 0x1234, 0x0042, SOURCE, TARGET), true,
       AnswerKind::failure},
      {"source quench quoting it",
       error_quoting(ICMP_TYPE_SOURCE_QUENCH, 0x1234, 0x0042, SOURCE, TARGET), true,
       AnswerKind::none},
      {"redirect quoting it", error_quoting(5, 0x1234, 0x0042, SOURCE, TARGET), true,
       AnswerKind::none},
      {"unreachable quoting another destination",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0042, SOURCE, OTHER), true,
       AnswerKind::none},
      {"unreachable quoting another destination, source not shown",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0042, Ipv4Address{}, OTHER), false,
       AnswerKind::none},
      {"unreachable quoting another source",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0042, OTHER, TARGET), true,
       AnswerKind::none},
      {"unreachable, source not shown",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0042, Ipv4Address{}, TARGET), false,
       AnswerKind::failure},
      {"unreachable quoting another identifier",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1235, 0x0042, SOURCE, TARGET), true,
       AnswerKind::none},
      {"unreachable quoting another sequence",
       error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0043, SOURCE, TARGET), true,
       AnswerKind::none},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_answer(c.message, KEY, c.quote_shows_source), c.expected);
  }
}

TEST(ClassifyAnswerTest, AnySourceAcceptsErrorsFromEveryLocalAddress) {
  const EchoRequestKey any{0x1234, 0x0042, Ipv4Address{}, TARGET};
  EXPECT_EQ(
      classify_answer(error_quoting(ICMP_TYPE_DEST_UNREACHABLE, 0x1234, 0x0042, OTHER, TARGET), any,
                      true),
      AnswerKind::failure);
}

// A series as the kernel numbers its transmit stamps: each step is a request
// that went out (the stamp it was read with, or none) or a send the kernel
// took in and then refused, and the stamps that must and must not be taken
// for the next request's.
struct StampStep {
  enum { stamped, unstamped, refused } what;
  std::uint32_t key;  // stamped: the request's stamp
};

struct StampKeysCase {
  const char* name;
  std::vector<StampStep> before;
  std::vector<std::uint32_t> taken;
  std::vector<std::uint32_t> not_taken;
};

TEST(TransmitStampKeysTest, TakesNoEarlierRequestsStamp) {
  using S = StampStep;
  const StampKeysCase cases[] = {
      {"first request", {}, {0, 1}, {}},
      {"after two stamped requests", {{S::stamped, 0}, {S::stamped, 1}}, {2}, {0, 1}},
      {"after a request whose stamp was never read",
       {{S::stamped, 0}, {S::unstamped, 0}},
       {2},
       {0, 1}},
      // The refused send may or may not have used number 2 up.
      {"after a send the firewall refused",
       {{S::stamped, 0}, {S::stamped, 1}, {S::refused, 0}},
       {2, 3},
       {0, 1}},
      {"refused, then stamped past the gap",
       {{S::stamped, 0}, {S::refused, 0}, {S::stamped, 2}},
       {3},
       {0, 1, 2}},
      {"numbers wrap around", {{S::stamped, 0xFFFFFFFF}}, {0, 1}, {0xFFFFFFFF, 0xFFFFFFFE}},
  };
  for (const StampKeysCase& c : cases) {
    SCOPED_TRACE(c.name);
    TransmitStampKeys keys;
    for (const StampStep& step : c.before) {
      if (step.what == S::stamped) keys.stamped(step.key);
      if (step.what == S::unstamped) keys.unstamped();
    }
    for (std::uint32_t key : c.taken) EXPECT_TRUE(keys.may_be_current(key)) << key;
    for (std::uint32_t key : c.not_taken) EXPECT_FALSE(keys.may_be_current(key)) << key;
  }
}

}  // namespace
}  // namespace ketrova
