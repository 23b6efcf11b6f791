#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "cli/ipv4.h"

namespace ketrova {

// Error codes a failed echo request answers with. They are the platform
// codes of the Windows ICMP echo service; the other platforms answer with the
// same values so that the run reads them the same way everywhere.
inline constexpr std::uint32_t ERROR_INVALID_NETNAME_CODE = 1214;      // source not usable
inline constexpr std::uint32_t ERROR_NETWORK_UNREACHABLE_CODE = 1231;  // no route from source
inline constexpr std::uint32_t ERROR_HOST_UNREACHABLE_CODE = 1232;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;

// Reply record statuses: the IP_STATUS values of the Windows ICMP echo
// service (its headers define them as macros, hence the namespace and the
// lower case).
namespace ip_status {
inline constexpr std::uint32_t success = 0;
inline constexpr std::uint32_t buf_too_small = 11001;
inline constexpr std::uint32_t dest_net_unreachable = 11002;
inline constexpr std::uint32_t dest_host_unreachable = 11003;
inline constexpr std::uint32_t dest_prot_unreachable = 11004;
inline constexpr std::uint32_t dest_port_unreachable = 11005;
inline constexpr std::uint32_t packet_too_big = 11009;
inline constexpr std::uint32_t req_timed_out = 11010;
inline constexpr std::uint32_t bad_route = 11012;
inline constexpr std::uint32_t ttl_expired_transit = 11013;
inline constexpr std::uint32_t ttl_expired_reassem = 11014;
inline constexpr std::uint32_t param_problem = 11015;
inline constexpr std::uint32_t source_quench = 11016;
inline constexpr std::uint32_t general_failure = 11050;
}  // namespace ip_status

// The reply record (ICMP_ECHO_REPLY, 64-bit layout) at the start of the reply
// buffer: Address 0-3, Status 4-7, RoundTripTime 8-11, DataSize 12-13,
// Reserved 14-15, Data pointer 16-23, Options 24-39. Fields are in host order.
inline constexpr std::size_t REPLY_RECORD_SIZE = 40;
inline constexpr std::size_t REPLY_ADDRESS_OFFSET = 0;
inline constexpr std::size_t REPLY_STATUS_OFFSET = 4;
inline constexpr std::size_t REPLY_RTT_OFFSET = 8;
inline constexpr std::size_t REPLY_DATA_SIZE_OFFSET = 12;

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

// Writes one reply record (and as much of `data` as fits after it) at the
// start of `buffer`. Returns false, writing nothing, when the buffer cannot
// hold the record.
bool write_reply_record(std::span<std::uint8_t> buffer, Ipv4Address from, std::uint32_t status,
                        std::uint32_t round_trip_ms, std::span<const std::uint8_t> data);

// Reads a 32-bit field of the first reply record.
std::uint32_t read_reply_field(std::span<const std::uint8_t> buffer, std::size_t offset);

}  // namespace ketrova
