// The echo reader and the wait against a scripted socket on fake clocks:
// which of the socket's two queues answers a request, when the wait ends,
// and what it does with a pending error, without root or a network.
#include "os/linux/echo_wait.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "echo/echo_status.h"
#include "echo/icmp_packet.h"
#include "os/linux/clocks.h"
#include "os/linux/echo_reader.h"
#include "os/linux/icmp_socket.h"

namespace ketrova {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr Nanos MS = NANOS_PER_MS;
constexpr Nanos SENT = 50'000 * MS;  // monotonic
constexpr Nanos OFFSET = 1'796'000'000'000'000'000;
constexpr Nanos NEVER = std::numeric_limits<Nanos>::max();

const Ipv4Address SOURCE{{192, 0, 2, 10}};
const Ipv4Address TARGET{{198, 51, 100, 7}};
const Ipv4Address ROUTER{{203, 0, 113, 1}};
constexpr std::uint16_t ID = 0x4B50;
constexpr std::uint16_t SEQ = 7;

// What the socket receives, when, and with what stamp.
struct Arrival {
  Nanos at = 0;  // monotonic: when it is queued, and stamped unless `stamped_at` says
  bool error_queue = false;
  ReceivedMessage message;
  Bytes bytes;
  bool stamped = true;
  std::optional<Nanos> stamped_at;
  bool taken = false;
};

// A socket whose queues fill as its fake clocks reach each arrival. Its
// real-time clock is set once, by `step` at `step_at`: stamps of moments
// after that carry the step. A pending error stands from `pending_at`
// until read, as the kernel keeps it.
class ScriptedSocket final : public SocketQueues, public Clocks {
 public:
  Nanos now = SENT;
  Nanos step = 0;
  Nanos step_at = NEVER;
  Nanos pending_at = NEVER;
  std::vector<Arrival> arrivals;
  int pending_reads = 0;
  int waits = 0;

  Nanos offset(Nanos moment) const { return OFFSET + (moment >= step_at ? step : 0); }

  Nanos monotonic() override { return now; }
  ClockPair both() override { return {now + offset(now), now}; }

  std::optional<ReceivedMessage> receive(std::span<std::uint8_t> buffer,
                                         bool error_queue) override {
    for (Arrival& arrival : arrivals) {
      if (arrival.taken || arrival.at > now || arrival.error_queue != error_queue) continue;
      arrival.taken = true;
      ReceivedMessage message = arrival.message;
      message.size = std::min(buffer.size(), arrival.bytes.size());
      message.truncated = arrival.bytes.size() > buffer.size();
      std::copy_n(arrival.bytes.begin(), message.size, buffer.begin());
      const Nanos stamped_at = arrival.stamped_at.value_or(arrival.at);
      if (arrival.stamped) message.stamp = stamped_at + offset(stamped_at);
      return message;
    }
    return std::nullopt;
  }

  void take_pending_error() override {
    ++pending_reads;
    if (pending_at <= now) pending_at = NEVER;
  }

  int wait(Nanos timeout, short& revents) override {
    // A wait that never blocks would spin here for ever.
    if (++waits > 1000) return -1;
    Nanos next = NEVER;
    for (const Arrival& arrival : arrivals) {
      if (!arrival.taken) next = std::min(next, arrival.at);
    }
    next = std::max(std::min(next, pending_at), now);
    if (next > now + timeout) {
      now += timeout;
      return 0;
    }
    now = next;
    revents = 0;
    for (const Arrival& arrival : arrivals) {
      if (!arrival.taken && arrival.at <= now) revents |= arrival.error_queue ? POLLERR : POLLIN;
    }
    if (pending_at <= now) revents |= POLLERR;
    return 1;
  }
};

Bytes with_checksum(Bytes icmp) {
  icmp[2] = icmp[3] = 0;
  const std::uint16_t checksum = internet_checksum(icmp);
  icmp[2] = static_cast<std::uint8_t>(checksum >> 8);
  icmp[3] = static_cast<std::uint8_t>(checksum);
  return icmp;
}

Bytes request(std::uint16_t sequence = SEQ) {
  const Bytes payload = {'p', 'i', 'n', 'g'};
  return build_echo_request(ID, sequence, payload);
}

Bytes reply(std::uint16_t sequence = SEQ) {
  Bytes icmp = request(sequence);
  icmp[0] = ICMP_TYPE_ECHO_REPLY;
  return with_checksum(icmp);
}

Bytes ip_packet(Ipv4Address from, Ipv4Address to, const Bytes& icmp) {
  Bytes packet(20, 0);
  packet[0] = 0x45;
  const std::size_t total = packet.size() + icmp.size();
  packet[2] = static_cast<std::uint8_t>(total >> 8);
  packet[3] = static_cast<std::uint8_t>(total);
  packet[8] = 64;
  packet[9] = 1;
  std::copy(from.octets.begin(), from.octets.end(), packet.begin() + 12);
  std::copy(to.octets.begin(), to.octets.end(), packet.begin() + 16);
  packet.insert(packet.end(), icmp.begin(), icmp.end());
  return packet;
}

Arrival arriving(Nanos at, bool error_queue, Bytes bytes) {
  Arrival arrival;
  arrival.at = at;
  arrival.error_queue = error_queue;
  arrival.bytes = std::move(bytes);
  return arrival;
}

// What arrives, as each socket kind sees it.
Arrival reply_arrives(SocketKind kind, Nanos at, std::uint16_t sequence = SEQ) {
  Arrival arrival = arriving(at, false, reply(sequence));
  if (kind == SocketKind::raw) arrival.bytes = ip_packet(TARGET, SOURCE, arrival.bytes);
  arrival.message.peer = TARGET;
  return arrival;
}

// Time exceeded from ROUTER about the request: a packet on a raw socket, a
// record of the error queue on a datagram socket.
Arrival error_arrives(SocketKind kind, Nanos at, std::uint16_t sequence = SEQ) {
  if (kind == SocketKind::raw) {
    Bytes error = {ICMP_TYPE_TIME_EXCEEDED, 0, 0, 0, 0, 0, 0, 0};
    const Bytes quoted = ip_packet(SOURCE, TARGET, request(sequence));
    error.insert(error.end(), quoted.begin(), quoted.end());
    Arrival arrival = arriving(at, false, ip_packet(ROUTER, SOURCE, with_checksum(error)));
    arrival.message.peer = ROUTER;
    return arrival;
  }
  Arrival arrival = arriving(at, true, request(sequence));
  arrival.message.peer = TARGET;
  QueuedRecord record;
  record.origin = QueuedRecord::Origin::icmp;
  record.icmp_type = ICMP_TYPE_TIME_EXCEEDED;
  record.offender = ROUTER;
  arrival.message.record = record;
  return arrival;
}

Arrival transmit_stamp(Nanos at, std::uint32_t key = 0) {
  Arrival arrival = arriving(at, true, {});
  QueuedRecord record;
  record.origin = QueuedRecord::Origin::transmit_stamp;
  record.stamp_key = key;
  arrival.message.record = record;
  return arrival;
}

struct Outcome {
  std::optional<EchoAnswer> answer;
  PendingEcho echo;
  Nanos ended = 0;
  std::optional<std::uint32_t> round_trip;
};

// Waits for the request sent at SENT, the process held until `held_until`
// (where later) before it first looks; `keys` as earlier requests left them.
Outcome wait_on(SocketKind kind, ScriptedSocket& socket, Nanos held_until = SENT,
                const TransmitStampKeys& keys = {}) {
  Outcome outcome;
  outcome.echo.key = {ID, SEQ, SOURCE, TARGET};
  outcome.echo.timeout_ms = 1000;
  socket.now = SENT;
  outcome.echo.sent = socket.both();
  outcome.echo.departure.fallback = SENT;
  socket.now = std::max(SENT, held_until);
  const std::unique_ptr<EchoReader> reader = make_echo_reader(kind, socket, socket);
  outcome.answer = wait_for_answer(*reader, outcome.echo, keys);
  outcome.ended = socket.now;
  if (outcome.answer) {
    outcome.round_trip = round_trip_ms(outcome.echo.departure, outcome.answer->arrival,
                                       outcome.echo.sent, outcome.echo.timeout_ms);
  }
  return outcome;
}

enum class Answer { none, reply, failure };

Answer answer_of(const Outcome& outcome) {
  if (!outcome.answer) return Answer::none;
  return outcome.answer->status == IP_STATUS_SUCCESS ? Answer::reply : Answer::failure;
}

// A reply and an error about the same request, from the two queues of a
// datagram socket (or the one queue of a raw socket, in arrival order).
struct OrderCase {
  const char* name;
  SocketKind kind;
  Nanos reply_at;
  Nanos error_at;
  bool reply_stamped;
  bool error_stamped;
  Answer expected;
};

TEST(EchoWaitTest, TheAnswerTheKernelReceivedFirstCounts) {
  const OrderCase cases[] = {
      {"error first", SocketKind::datagram, SENT + 30 * MS, SENT + 20 * MS, true, true,
       Answer::failure},
      {"reply first", SocketKind::datagram, SENT + 20 * MS, SENT + 30 * MS, true, true,
       Answer::reply},
      {"both read in one wake-up, error first", SocketKind::datagram, SENT + 30 * MS,
       SENT + 30 * MS - 1, true, true, Answer::failure},
      {"equal stamps", SocketKind::datagram, SENT + 30 * MS, SENT + 30 * MS, true, true,
       Answer::reply},
      {"the error unstamped", SocketKind::datagram, SENT + 30 * MS, SENT + 30 * MS - 1, true, false,
       Answer::reply},
      {"the reply unstamped", SocketKind::datagram, SENT + 30 * MS, SENT + 30 * MS - 1, false, true,
       Answer::reply},
      {"error first on a raw socket", SocketKind::raw, SENT + 30 * MS, SENT + 20 * MS, true, true,
       Answer::failure},
      {"reply first on a raw socket", SocketKind::raw, SENT + 20 * MS, SENT + 30 * MS, true, true,
       Answer::reply},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSocket socket;
    socket.arrivals.push_back(transmit_stamp(SENT + 10'000));
    Arrival reply = reply_arrives(c.kind, c.reply_at);
    reply.stamped = c.reply_stamped;
    Arrival error = error_arrives(c.kind, c.error_at);
    error.stamped = c.error_stamped;
    // Both are queued before the wait first looks, whichever came first.
    const Nanos queued = std::max(c.reply_at, c.error_at);
    if (c.kind == SocketKind::raw) {
      socket.arrivals.push_back(c.reply_at <= c.error_at ? reply : error);
      socket.arrivals.push_back(c.reply_at <= c.error_at ? error : reply);
    } else {
      socket.arrivals.push_back(error);
      socket.arrivals.push_back(reply);
    }
    for (Arrival& arrival : socket.arrivals) {
      arrival.stamped_at = arrival.at;
      arrival.at = queued;
    }
    Outcome outcome = wait_on(c.kind, socket);
    EXPECT_EQ(answer_of(outcome), c.expected);
    if (c.expected == Answer::failure) {
      EXPECT_EQ(outcome.answer->status, IP_STATUS_TTL_EXPIRED_TRANSIT);
      EXPECT_EQ(outcome.answer->from, ROUTER);
    }
  }
}

constexpr std::optional<Nanos> NONE = std::nullopt;

// When the wait ends and what it reads, by the request's transmit stamp and
// the clocks. The deadline runs a second from when the kernel says the
// request left, on the monotonic clock, whatever the real-time clock does.
struct DeadlineCase {
  const char* name;
  std::optional<Nanos> transmit_at;
  std::uint32_t stamp_key;
  std::optional<Nanos> reply_at;
  Nanos step;
  Nanos step_at;
  Nanos held_until;
  std::optional<std::uint32_t> round_trip;  // nothing: no answer read
  Nanos ended;
};

TEST(EchoWaitTest, TheDeadlineRunsFromTheTransmitStamp) {
  constexpr Nanos US = 1'000;
  constexpr Nanos HOUR = 3'600'000 * MS;
  // Earlier requests were stamped up to 4: 5 is the next one's.
  constexpr std::uint32_t NEXT = 5;
  const DeadlineCase cases[] = {
      {"stamped at the send, answered at 999 ms", SENT + 10 * US, NEXT, SENT + 999 * MS, 0, NEVER,
       SENT, 998u, SENT + 999 * MS},
      {"stamped at the send, no answer", SENT + 10 * US, NEXT, NONE, 0, NEVER, SENT, std::nullopt,
       SENT + 10 * US + 1'000 * MS},
      {"no transmit stamp, no answer", NONE, NEXT, NONE, 0, NEVER, SENT, std::nullopt,
       SENT + 1'000 * MS},
      {"no transmit stamp, answered at 999 ms", NONE, NEXT, SENT + 999 * MS, 0, NEVER, SENT, 999u,
       SENT + 999 * MS},
      {"stamped 300 ms late, answered at 1250 ms", SENT + 300 * MS, NEXT, SENT + 1'250 * MS, 0,
       NEVER, SENT, 950u, SENT + 1'250 * MS},
      {"stamped 300 ms late, no answer", SENT + 300 * MS, NEXT, NONE, 0, NEVER, SENT, std::nullopt,
       SENT + 1'300 * MS},
      // The process held in its send past the deadline: the stamp, read only
      // then, moves the deadline on.
      {"stamped 300 ms late, read at 1100 ms, answered at 1250 ms", SENT + 300 * MS, NEXT,
       SENT + 1'250 * MS, 0, NEVER, SENT + 1'100 * MS, 950u, SENT + 1'250 * MS},
      {"stamped 300 ms late, read at 1100 ms, no answer", SENT + 300 * MS, NEXT, NONE, 0, NEVER,
       SENT + 1'100 * MS, std::nullopt, SENT + 1'300 * MS},
      {"an earlier request's stamp moves nothing", SENT + 300 * MS, NEXT - 1, NONE, 0, NEVER, SENT,
       std::nullopt, SENT + 1'000 * MS},
      // The real-time clock set while the request waits.
      {"+2 s at 500 ms, no answer", SENT + 10 * US, NEXT, NONE, 2'000 * MS, SENT + 500 * MS, SENT,
       std::nullopt, SENT + 10 * US + 1'000 * MS},
      {"-2 s at 500 ms, no answer", SENT + 10 * US, NEXT, NONE, -2'000 * MS, SENT + 500 * MS, SENT,
       std::nullopt, SENT + 10 * US + 1'000 * MS},
      {"+2 s at 500 ms, answered at 900 ms", SENT + 10 * US, NEXT, SENT + 900 * MS, 2'000 * MS,
       SENT + 500 * MS, SENT, 899u, SENT + 900 * MS},
      {"-2 s at 500 ms, answered at 900 ms", SENT + 10 * US, NEXT, SENT + 900 * MS, -2'000 * MS,
       SENT + 500 * MS, SENT, 899u, SENT + 900 * MS},
      // Held 1.2 s right after the send, the clock set half-way: the stamps
      // say the answer came within microseconds.
      {"+2 s while held", SENT + 10 * US, NEXT, SENT + 30 * US, 2'000 * MS, SENT + 600 * MS,
       SENT + 1'200 * MS, 0u, SENT + 1'200 * MS},
      {"-2 s while held", SENT + 10 * US, NEXT, SENT + 30 * US, -2'000 * MS, SENT + 600 * MS,
       SENT + 1'200 * MS, 0u, SENT + 1'200 * MS},
      {"+1 h while held", SENT + 10 * US, NEXT, SENT + 30 * US, HOUR, SENT + 600 * MS,
       SENT + 1'200 * MS, 0u, SENT + 1'200 * MS},
      {"-30 ms while held", SENT + 10 * US, NEXT, SENT + 30 * US, -30 * MS, SENT + 600 * MS,
       SENT + 1'200 * MS, 0u, SENT + 1'200 * MS},
      {"+2 s while held, answered at 990 ms", SENT + 10 * US, NEXT, SENT + 990 * MS, 2'000 * MS,
       SENT + 1'100 * MS, SENT + 1'200 * MS, 989u, SENT + 1'200 * MS},
      {"+2 s while held, answered at 1100 ms", SENT + 10 * US, NEXT, SENT + 1'100 * MS, 2'000 * MS,
       SENT + 600 * MS, SENT + 1'200 * MS, std::nullopt, SENT + 1'200 * MS},
  };
  for (SocketKind kind : {SocketKind::raw, SocketKind::datagram}) {
    for (const DeadlineCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (kind == SocketKind::raw ? ", raw" : ", datagram"));
      ScriptedSocket socket;
      socket.step = c.step;
      socket.step_at = c.step_at;
      if (c.transmit_at) socket.arrivals.push_back(transmit_stamp(*c.transmit_at, c.stamp_key));
      if (c.reply_at) socket.arrivals.push_back(reply_arrives(kind, *c.reply_at));
      TransmitStampKeys keys;
      keys.stamped(NEXT - 1);
      const Outcome outcome = wait_on(kind, socket, c.held_until, keys);
      EXPECT_EQ(outcome.round_trip, c.round_trip);
      EXPECT_EQ(outcome.ended, c.ended);
    }
  }
}

// poll reports a pending socket error as it reports a queued record. Where
// nothing is queued behind it, the wait reads it away once and waits on;
// where a record is, the record is read.
struct PendingCase {
  const char* name;
  std::optional<Nanos> reply_at;
  std::optional<Nanos> error_at;  // an ICMP error record about the request
  Answer expected;
  bool read_away;  // by getsockopt(SO_ERROR); a record read clears it too
  Nanos ended;
};

TEST(EchoWaitTest, APendingErrorIsReadAwayOnce) {
  const PendingCase cases[] = {
      {"nothing behind it", NONE, NONE, Answer::none, true, SENT + 1'000 * MS},
      {"a reply after it", SENT + 200 * MS, NONE, Answer::reply, true, SENT + 200 * MS},
      {"its record queued", NONE, SENT + 100 * MS, Answer::failure, false, SENT + 100 * MS},
  };
  for (const PendingCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSocket socket;
    socket.pending_at = SENT + 100 * MS;
    if (c.reply_at) socket.arrivals.push_back(reply_arrives(SocketKind::datagram, *c.reply_at));
    if (c.error_at) socket.arrivals.push_back(error_arrives(SocketKind::datagram, *c.error_at));
    const Outcome outcome = wait_on(SocketKind::datagram, socket);
    EXPECT_EQ(answer_of(outcome), c.expected);
    EXPECT_EQ(socket.pending_reads > 0, c.read_away);
    EXPECT_EQ(outcome.ended, c.ended);
    EXPECT_LE(socket.waits, 3);
  }
}

// What a datagram socket's error queue holds besides the transmit stamps:
// only an error that fails this very request answers it.
struct RecordCase {
  const char* name;
  void (*edit)(Arrival&);
  bool answers;
};

TEST(EchoWaitTest, ErrorRecordsOfADatagramSocket) {
  const RecordCase cases[] = {
      {"about the request", [](Arrival&) {}, true},
      {"destination unreachable",
       [](Arrival& a) {
         a.message.record->icmp_type = ICMP_TYPE_DEST_UNREACHABLE;
         a.message.record->icmp_code = 1;
       },
       true},
      {"about another request", [](Arrival& a) { a.bytes = request(SEQ + 1); }, false},
      {"about another identifier", [](Arrival& a) { a.bytes[4] ^= 0x80; }, false},
      {"to another destination", [](Arrival& a) { a.message.peer = ROUTER; }, false},
      {"without a destination", [](Arrival& a) { a.message.peer.reset(); }, false},
      {"a source quench", [](Arrival& a) { a.message.record->icmp_type = ICMP_TYPE_SOURCE_QUENCH; },
       false},
      {"of another origin",
       [](Arrival& a) { a.message.record->origin = QueuedRecord::Origin::other; }, false},
      {"without its request's header", [](Arrival& a) { a.bytes.resize(ICMP_HEADER_SIZE - 1); },
       false},
      {"not about an echo request", [](Arrival& a) { a.bytes[0] = ICMP_TYPE_ECHO_REPLY; }, false},
      {"larger than the buffer", [](Arrival& a) { a.bytes.resize(4096); }, false},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSocket socket;
    Arrival error = error_arrives(SocketKind::datagram, SENT + 20 * MS);
    c.edit(error);
    socket.arrivals.push_back(error);
    const Outcome outcome = wait_on(SocketKind::datagram, socket);
    ASSERT_EQ(answer_of(outcome), c.answers ? Answer::failure : Answer::none);
    if (!c.answers) continue;
    EXPECT_EQ(outcome.answer->from, ROUTER);
    EXPECT_EQ(outcome.answer->status, ip_status_for_icmp_error(error.message.record->icmp_type,
                                                               error.message.record->icmp_code));
    EXPECT_EQ(outcome.round_trip, 20u);
  }
}

}  // namespace
}  // namespace ketrova
