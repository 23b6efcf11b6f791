#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "net/ipv4_address.h"

namespace ketrova {

struct EchoOutcome {
  std::uint32_t reply_count = 0;  // records written into the reply buffer; 0 on failure
  std::uint32_t error_code = 0;   // the reason, when reply_count is 0
};

// The operating system's ICMP echo service: open it once, send blocking echo
// requests one at a time, close it.
class IcmpEchoService {
 public:
  virtual ~IcmpEchoService() = default;

  // False when the service cannot be opened (no permission, no support).
  virtual bool open() = 0;

  // Sends one echo request from `source` to `target` and waits up to
  // `timeout_ms` for its answer. On an answer (an echo reply, or an ICMP error
  // quoting this request) writes one reply record at the start of
  // `reply_buffer`, the echoed data after it, and returns a count of 1.
  virtual EchoOutcome send_echo(Ipv4Address source, Ipv4Address target,
                                std::span<const std::uint8_t> payload,
                                std::span<std::uint8_t> reply_buffer, std::uint32_t timeout_ms) = 0;

  virtual void close() = 0;
};

// The service of the platform this program was built for.
std::unique_ptr<IcmpEchoService> make_icmp_echo_service();

}  // namespace ketrova
