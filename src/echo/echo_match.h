#pragma once

#include <cstdint>

#include "echo/icmp_packet.h"
#include "net/ipv4_address.h"

namespace ketrova {

// The echo request that an answer has to belong to.
struct EchoRequestKey {
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
  Ipv4Address source;  // 0.0.0.0: any local address
  Ipv4Address target;
};

// Whether an ICMP error of `type` means that a request failed: destination
// unreachable, time exceeded and parameter problem do. Redirect and source
// quench do not (the request goes on, and hosts ignore quench), nor does any
// other type.
bool icmp_error_fails_request(std::uint8_t type);

enum class AnswerKind {
  none,     // says nothing about this request
  reply,    // its echo reply
  failure,  // an ICMP error reporting that it failed
};

// What `message` says about the request `key`. An echo reply answers it when
// it comes from the target with the request's identifier and sequence. An
// error answers it when it is of a failing type and quotes this very request:
// its identifier and sequence, the target as destination and, where
// `quote_shows_source` (the whole quoted header is seen), the source.
AnswerKind classify_answer(const IcmpMessage& message, const EchoRequestKey& key,
                           bool quote_shows_source);

// Which transmit stamp is the request's. The kernel numbers a socket's
// transmit stamps in the order it takes sends in, and a send that it took
// in and then refused (a firewall's verdict) may have used a number up
// without a stamp. So the number of the next request's stamp is known only
// from below: it is at least `floor`, and no earlier request's stamp is.
class TransmitStampKeys {
 public:
  // Whether a stamp numbered `key` can be that of the request sent last.
  bool may_be_current(std::uint32_t key) const {
    return static_cast<std::int32_t>(key - floor_) >= 0;
  }
  // The request sent last was stamped `key`.
  void stamped(std::uint32_t key) { floor_ = key + 1; }
  // The request sent last went out, but its stamp was never read.
  void unstamped() { ++floor_; }

 private:
  std::uint32_t floor_ = 0;
};

}  // namespace ketrova
