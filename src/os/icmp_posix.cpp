// The ICMP echo service over Linux ICMP sockets.
//
// A datagram ICMP socket ("ping socket") needs no privilege when the caller's
// group lies in net.ipv4.ping_group_range; the kernel then owns the echo
// identifier and delivers only our replies, and ICMP errors arrive on the
// socket's error queue. Otherwise a raw ICMP socket (CAP_NET_RAW) with a
// kernel filter on our identifier; we match replies and errors ourselves.
//
// Like the platform service it stands in for, every request is timed and
// waited for by the kernel's clocks, so a process that is held off the CPU
// does not change the result: the round trip runs from the kernel's transmit
// stamp of the request to its receive stamp of the answer, and an answer
// counts when the kernel received it within the timeout of the request's
// departure, however late this process gets round to reading it.

#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <optional>
#include <vector>

#include "os/echo_match.h"
#include "os/echo_timing.h"
#include "os/icmp.h"
#include "os/icmp_packet.h"
#include "os/linux/icmp_socket.h"
#include "os/linux/privileges.h"

namespace ketrova {
namespace {

// Messages read from each queue per wake-up before the deadline is looked at
// again, so that a flood cannot hold a request past its deadline; and when
// the deadline has passed, at most this many more are judged by their stamps.
constexpr int kReadsPerWakeup = 64;
constexpr int kReadsAtDeadline = 256;
constexpr std::size_t kReceiveBufferSize = 2048;

Nanos clock_now(clockid_t clock) {
  timespec time{};
  ::clock_gettime(clock, &time);
  return static_cast<Nanos>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

Nanos monotonic_now() {
  return clock_now(CLOCK_MONOTONIC);
}

ClockPair clocks_now() {
  ClockPair now;
  now.monotonic = clock_now(CLOCK_MONOTONIC);
  now.realtime = clock_now(CLOCK_REALTIME);
  return now;
}

timespec to_timespec(Nanos duration) {
  timespec result{};
  result.tv_sec = static_cast<time_t>(duration / 1'000'000'000);
  result.tv_nsec = static_cast<long>(duration % 1'000'000'000);
  return result;
}

sockaddr_in socket_address(Ipv4Address address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = to_network_order(address);
  return result;
}

std::uint32_t send_error_code(int error) {
  switch (error) {
    case ENETUNREACH:
      return ERROR_NETWORK_UNREACHABLE_CODE;
    case EADDRNOTAVAIL:
      return ERROR_INVALID_NETNAME_CODE;
    case EHOSTUNREACH:
      return ERROR_HOST_UNREACHABLE_CODE;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED_CODE;
    case EMSGSIZE:
    case EINVAL:
      return ERROR_INVALID_PARAMETER_CODE;
    default:
      return ip_status::general_failure;
  }
}

std::uint32_t random_u32() {
  std::uint32_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
    value = static_cast<std::uint32_t>(::getpid() ^ clock_now(CLOCK_MONOTONIC));
  }
  return value;
}

// What one request is waiting for.
struct PendingEcho {
  EchoRequestKey key;
  std::uint32_t stamp_key = 0;  // the number of its transmit stamp
  Nanos send_started = 0;       // monotonic, just before sendto
  Nanos departure = 0;          // monotonic: the kernel's transmit stamp, or just after sendto
  std::uint32_t timeout_ms = 0;

  Nanos deadline() const { return departure + static_cast<Nanos>(timeout_ms) * NANOS_PER_MS; }
};

// An answer to the pending request, with the moment it arrived.
struct Answer {
  Ipv4Address from;
  std::uint32_t status = ip_status::success;
  std::vector<std::uint8_t> data;
  Nanos arrival = 0;  // monotonic
};

class PosixIcmpEchoService final : public IcmpEchoService {
 public:
  ~PosixIcmpEchoService() override { close(); }

  bool open() override {
    close();
    // A random identifier, and a random first sequence number as well, so
    // that probes running at once on raw sockets never share a pair.
    const std::uint32_t random = random_u32();
    identifier_ = static_cast<std::uint16_t>(random >> 16);
    sequence_ = static_cast<std::uint16_t>(random);
    sends_ = 0;
    kind_ = SocketKind::datagram;
    fd_ = open_icmp_socket(kind_, identifier_);
    if (fd_ < 0 && raise_net_raw()) {
      kind_ = SocketKind::raw;
      fd_ = open_icmp_socket(kind_, identifier_);
    }
    if (fd_ < 0) {
      give_up_privileges();  // nothing is opened without a socket either
      return false;
    }
    // Nothing after this point needs privilege. Where it cannot all be given
    // up, the service is not offered at all.
    if (!give_up_privileges()) {
      close();
      return false;
    }
    await_receive_stamps();
    return true;
  }

  EchoOutcome send_echo(Ipv4Address source, Ipv4Address target,
                        std::span<const std::uint8_t> payload, std::span<std::uint8_t> reply_buffer,
                        std::uint32_t timeout_ms) override {
    if (fd_ < 0) return {0, ERROR_INVALID_PARAMETER_CODE};
    if (reply_buffer.size() < REPLY_RECORD_SIZE + payload.size() + 8) {
      return {0, ip_status::buf_too_small};
    }
    if (const std::uint32_t error = bind_source(source)) return {0, error};

    PendingEcho echo;
    echo.key = {identifier_, ++sequence_, source, target};
    echo.timeout_ms = timeout_ms;
    const std::vector<std::uint8_t> request =
        build_echo_request(echo.key.identifier, echo.key.sequence, payload);
    const sockaddr_in to = socket_address(target);
    echo.send_started = monotonic_now();
    ssize_t sent = 0;
    do {
      sent = ::sendto(fd_, request.data(), request.size(), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return {0, send_error_code(errno)};
    // Until the kernel's transmit stamp is read, the request left when the
    // send returned.
    echo.departure = monotonic_now();
    echo.stamp_key = sends_++;

    const std::optional<Answer> answer = wait_for_answer(echo);
    if (!answer) return {0, ip_status::req_timed_out};
    const std::optional<std::uint32_t> round_trip =
        round_trip_ms(echo.departure, answer->arrival, timeout_ms);
    if (!round_trip) return {0, ip_status::req_timed_out};
    write_reply_record(reply_buffer, answer->from, answer->status, *round_trip, answer->data);
    return {1, 0};
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    bound_source_.reset();
  }

 private:
  // Binds the socket to `source` unless it already is; 0 on success, else
  // the request's error code. The socket is bound once: a raw socket could
  // not be opened again without privilege.
  std::uint32_t bind_source(Ipv4Address source) {
    if (bound_source_ == source) return 0;
    if (bound_source_) return ERROR_INVALID_PARAMETER_CODE;
    const sockaddr_in local = socket_address(source);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      return errno == EADDRNOTAVAIL ? ERROR_INVALID_NETNAME_CODE : send_error_code(errno);
    }
    if (kind_ == SocketKind::datagram) {
      // The kernel chose the identifier when it bound the socket.
      sockaddr_in bound{};
      socklen_t length = sizeof bound;
      if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        identifier_ = ntohs(bound.sin_port);
      }
    }
    bound_source_ = source;
    return 0;
  }

  // Waits until the answer to `echo` is read or its deadline has passed by
  // the monotonic clock, then judges what is still queued by the kernel's
  // receive stamps. Nothing when no answer arrived in time.
  std::optional<Answer> wait_for_answer(PendingEcho& echo) {
    for (;;) {
      const Nanos now = monotonic_now();
      if (now >= echo.deadline()) return read_queues(echo, kReadsAtDeadline, true);
      const timespec wait = to_timespec(echo.deadline() - now);
      pollfd descriptor{fd_, POLLIN, 0};
      const int ready = ::ppoll(&descriptor, 1, &wait, nullptr);
      if (ready < 0 && errno != EINTR) return std::nullopt;
      if (ready <= 0) continue;
      if (std::optional<Answer> answer = read_queues(echo, kReadsPerWakeup, false)) return answer;
    }
  }

  // Reads up to `limit` messages from each queue, the error queue first (it
  // holds the request's transmit stamp). The first answer to `echo` ends the
  // reading, whether it arrived in time or not: what arrived later cannot
  // have arrived earlier. Once the transmit stamp is read the reply is
  // looked for at once, unless `drain`: what else the error queue holds is
  // still there at the next wake-up.
  std::optional<Answer> read_queues(PendingEcho& echo, int limit, bool drain) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer;
    for (int i = 0; i < limit; ++i) {
      const std::optional<ReceivedMessage> message = receive_message(fd_, buffer, true);
      if (!message) break;
      if (std::optional<Answer> answer = judge_queued_record(*message, buffer, echo)) {
        return answer;
      }
      if (!drain && is_transmit_stamp_of(*message, echo)) break;
    }
    for (int i = 0; i < limit; ++i) {
      const std::optional<ReceivedMessage> message = receive_message(fd_, buffer, false);
      if (!message) break;
      if (std::optional<Answer> answer = judge_packet(*message, buffer, echo)) return answer;
    }
    return std::nullopt;
  }

  // The moment the kernel stamped, on the monotonic clock; the moment of
  // reading where there is no usable stamp.
  static Nanos arrival_of(const ReceivedMessage& message, const PendingEcho& echo) {
    const ClockPair now = clocks_now();
    if (message.stamp) {
      if (auto moment = stamp_to_monotonic(*message.stamp, now, echo.send_started)) return *moment;
    }
    return now.monotonic;
  }

  static bool is_transmit_stamp_of(const ReceivedMessage& message, const PendingEcho& echo) {
    return message.record && message.record->origin == QueuedRecord::Origin::transmit_stamp &&
           message.record->stamp_key == echo.stamp_key;
  }

  std::optional<Answer> judge_queued_record(const ReceivedMessage& message,
                                            std::span<const std::uint8_t> data, PendingEcho& echo) {
    if (!message.record) return std::nullopt;
    const QueuedRecord& record = *message.record;
    if (record.origin == QueuedRecord::Origin::transmit_stamp) {
      if (is_transmit_stamp_of(message, echo) && message.stamp) {
        if (auto left = stamp_to_monotonic(*message.stamp, clocks_now(), echo.send_started)) {
          echo.departure = *left;
        }
      }
      return std::nullopt;
    }
    if (record.origin != QueuedRecord::Origin::icmp) return std::nullopt;
    // The queued data is our request as it went out, ICMP header first.
    if (message.truncated || message.size < ICMP_HEADER_SIZE || !message.peer ||
        data[0] != ICMP_TYPE_ECHO_REQUEST) {
      return std::nullopt;
    }
    IcmpMessage quoted;
    quoted.kind = IcmpMessageKind::error;
    quoted.type = record.icmp_type;
    quoted.code = record.icmp_code;
    quoted.identifier = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
    quoted.sequence = static_cast<std::uint16_t>(data[6] << 8 | data[7]);
    quoted.quoted_destination = *message.peer;
    if (classify_answer(quoted, echo.key, false) != AnswerKind::failure) return std::nullopt;
    return Answer{record.offender.value_or(Ipv4Address{}),
                  ip_status_for_icmp_error(record.icmp_type, record.icmp_code),
                  {},
                  arrival_of(message, echo)};
  }

  std::optional<Answer> judge_packet(const ReceivedMessage& message,
                                     std::span<const std::uint8_t> buffer,
                                     const PendingEcho& echo) const {
    // A packet larger than the buffer is not one of our answers.
    if (message.truncated) return std::nullopt;
    const std::span<const std::uint8_t> packet = buffer.first(message.size);
    const std::optional<IcmpMessage> parsed = kind_ == SocketKind::raw
                                                  ? parse_ip_packet(packet)
                                                  : parse_icmp_message(packet, message.peer);
    if (!parsed) return std::nullopt;
    switch (classify_answer(*parsed, echo.key, kind_ == SocketKind::raw)) {
      case AnswerKind::reply:
        return Answer{echo.key.target,
                      ip_status::success,
                      {parsed->data.begin(), parsed->data.end()},
                      arrival_of(message, echo)};
      case AnswerKind::failure:
        return Answer{parsed->sender.value_or(Ipv4Address{}),
                      ip_status_for_icmp_error(parsed->type, parsed->code),
                      {},
                      arrival_of(message, echo)};
      case AnswerKind::none:
        break;
    }
    return std::nullopt;
  }

  int fd_ = -1;
  SocketKind kind_ = SocketKind::datagram;
  std::optional<Ipv4Address> bound_source_;
  std::uint16_t identifier_ = 0;
  std::uint16_t sequence_ = 0;
  std::uint32_t sends_ = 0;  // requests sent, numbering their transmit stamps
};

}  // namespace

std::unique_ptr<IcmpEchoService> make_icmp_echo_service() {
  return std::make_unique<PosixIcmpEchoService>();
}

}  // namespace ketrova
