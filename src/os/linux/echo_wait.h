#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "echo/echo_match.h"
#include "echo/echo_timing.h"
#include "net/ipv4_address.h"
#include "os/linux/echo_reader.h"

namespace ketrova {

// One request that has gone out and waits for its answer.
struct PendingEcho {
  EchoRequestKey key;
  std::uint32_t timeout_ms = 0;
  // The clocks read just before the send: the monotonic moment the send
  // began, and the real-time clock's offset that the request's stamps are
  // taken on unless it is set while the request waits.
  ClockPair sent;
  // When it left: the kernel's transmit stamp once read; until then (and
  // where none comes) the moment the send began.
  StampedMoment departure;
  bool stamped = false;  // its transmit stamp was read
  std::uint32_t stamp_key = 0;

  Nanos left() const { return monotonic_moment(departure, sent); }
  Nanos deadline() const { return left() + static_cast<Nanos>(timeout_ms) * NANOS_PER_MS; }
};

// The answer to a request: its echo reply, or an ICMP error quoting it.
struct EchoAnswer {
  Ipv4Address from;
  std::uint32_t status = 0;
  std::vector<std::uint8_t> data;
  StampedMoment arrival;
};

// Waits until the answer to `echo` is read or its deadline has passed by the
// monotonic clock, and then judges what is still queued by the kernel's
// receive stamps: whatever the kernel received first answers the request,
// however late this process reads it; whether it came in time is for the
// caller to judge from the two stamps. Nothing when no answer was read.
// `keys` tells which transmit stamp is the request's.
std::optional<EchoAnswer> wait_for_answer(EchoReader& reader, PendingEcho& echo,
                                          const TransmitStampKeys& keys);

}  // namespace ketrova
