// The ICMP echo service over Linux ICMP sockets.
//
// A datagram ICMP socket ("ping socket") needs no privilege when the caller's
// group lies in net.ipv4.ping_group_range; the kernel then owns the echo
// identifier and delivers only our replies, and ICMP errors arrive on the
// socket's error queue. Otherwise a raw ICMP socket (root or CAP_NET_RAW)
// sees every ICMP packet the host receives, and we match replies and errors
// ourselves. Either way each request waits against a monotonic deadline set
// at the send, and packets that are not the answer to this very request
// (other identifiers or sequences, other senders, late answers to earlier
// requests, duplicates) are dropped without touching that deadline.

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "os/icmp.h"
#include "os/icmp_packet.h"

namespace ketrova {
namespace {

using Clock = std::chrono::steady_clock;

// Packets read per wake-up before the deadline is looked at again, so that a
// flood of foreign traffic cannot hold a request past its deadline.
constexpr int kReadsPerWakeup = 64;
constexpr std::size_t kReceiveBufferSize = 2048;

enum class SocketKind { datagram, raw };

struct Answer {
  Ipv4Address from;
  std::uint32_t status = ip_status::success;
  std::vector<std::uint8_t> data;
  std::optional<Clock::time_point> received_at;  // the kernel's receive time
};

// The kernel stamps packets with the real-time clock; the run measures on the
// monotonic one. Converted through the current offset between the two, a stamp
// differs from the monotonic receive time only by a clock step in between.
Clock::time_point to_steady_time(const timespec& stamp) {
  timespec real_now{};
  ::clock_gettime(CLOCK_REALTIME, &real_now);
  const Clock::time_point steady_now = Clock::now();
  const auto age = std::chrono::seconds(real_now.tv_sec - stamp.tv_sec) +
                   std::chrono::nanoseconds(real_now.tv_nsec - stamp.tv_nsec);
  return steady_now - std::chrono::duration_cast<Clock::duration>(age);
}

sockaddr_in socket_address(Ipv4Address address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = to_network_order(address);
  return result;
}

Ipv4Address address_of(const sockaddr_in& address) {
  return from_network_order(address.sin_addr.s_addr);
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

std::uint16_t random_identifier() {
  std::uint16_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
    value = static_cast<std::uint16_t>(getpid());
  }
  return value;
}

timespec to_timespec(Clock::duration duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds.count());
  result.tv_nsec = static_cast<long>(nanoseconds.count());
  return result;
}

// Once a socket is open nothing more needs privilege: give up every
// capability, so that the rest of the run (parsing what the network sends)
// holds none, even when started as root or with CAP_NET_RAW.
void drop_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  ::syscall(SYS_capset, &header, data);
}

class PosixIcmpEchoService final : public IcmpEchoService {
 public:
  ~PosixIcmpEchoService() override { close(); }

  bool open() override {
    close();
    for (const SocketKind kind : {SocketKind::datagram, SocketKind::raw}) {
      if (create_socket(kind)) {
        drop_capabilities();
        return true;
      }
    }
    return false;
  }

  EchoOutcome send_echo(Ipv4Address source, Ipv4Address target,
                        std::span<const std::uint8_t> payload, std::span<std::uint8_t> reply_buffer,
                        std::uint32_t timeout_ms) override {
    if (fd_ < 0) return {0, ERROR_INVALID_PARAMETER_CODE};
    if (reply_buffer.size() < REPLY_RECORD_SIZE + payload.size() + 8) {
      return {0, ip_status::buf_too_small};
    }
    if (const std::uint32_t error = bind_source(source)) return {0, error};

    const std::uint16_t sequence = ++sequence_;
    const std::vector<std::uint8_t> request = build_echo_request(identifier_, sequence, payload);
    const sockaddr_in to = socket_address(target);
    const Clock::time_point sent_at = Clock::now();
    ssize_t sent = 0;
    do {
      sent = ::sendto(fd_, request.data(), request.size(), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return {0, send_error_code(errno)};

    const Clock::time_point deadline = sent_at + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return {0, ip_status::req_timed_out};
      const timespec wait = to_timespec(deadline - now);
      pollfd descriptor{fd_, POLLIN, 0};
      const int ready = ::ppoll(&descriptor, 1, &wait, nullptr);
      if (ready < 0 && errno != EINTR) return {0, ip_status::general_failure};
      if (ready <= 0) continue;
      std::optional<Answer> answer;
      if (descriptor.revents & POLLERR) answer = read_error_queue(source, target, sequence);
      if (!answer) answer = read_packets(source, target, sequence);
      if (answer) {
        // The round trip ends when the kernel received the answer, not when
        // this process got round to reading it. A stamp outside the wait (a
        // clock step) is not trusted.
        const Clock::time_point read_at = Clock::now();
        Clock::time_point received_at = answer->received_at.value_or(read_at);
        if (received_at < sent_at || received_at > read_at) received_at = read_at;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(received_at - sent_at);
        write_reply_record(reply_buffer, answer->from, answer->status,
                           static_cast<std::uint32_t>(elapsed.count()), answer->data);
        return {1, 0};
      }
    }
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    bound_source_.reset();
  }

 private:
  bool create_socket(SocketKind kind) {
    const int type = kind == SocketKind::datagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return false;
    // The kernel's receive time of every packet, for exact round trips.
    const int stamp = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &stamp, sizeof stamp);
    if (kind == SocketKind::datagram) {
      // ICMP errors about our requests arrive on the error queue.
      const int on = 1;
      ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    } else {
      // Only echo replies and the errors that may quote a request.
      icmp_filter filter{};
      filter.data = ~((1u << ICMP_TYPE_ECHO_REPLY) | (1u << ICMP_TYPE_DEST_UNREACHABLE) |
                      (1u << ICMP_TYPE_SOURCE_QUENCH) | (1u << ICMP_TYPE_TIME_EXCEEDED) |
                      (1u << ICMP_TYPE_PARAMETER_PROBLEM));
      ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
      identifier_ = random_identifier();
    }
    fd_ = fd;
    kind_ = kind;
    return true;
  }

  // Binds the socket to `source` unless it already is; 0 on success, else
  // the request's error code. A socket bound elsewhere is replaced.
  std::uint32_t bind_source(Ipv4Address source) {
    if (bound_source_ == source) return 0;
    if (bound_source_) {
      const SocketKind kind = kind_;
      close();
      if (!create_socket(kind)) return ip_status::general_failure;
    }
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

  bool is_our_echo(const IcmpMessage& message, Ipv4Address target, std::uint16_t sequence) const {
    return message.identifier == identifier_ && message.sequence == sequence &&
           message.sender == target;
  }

  bool is_our_request(const IcmpMessage& message, Ipv4Address source, Ipv4Address target,
                      std::uint16_t sequence) const {
    const bool any_source = source == Ipv4Address{};
    return message.identifier == identifier_ && message.sequence == sequence &&
           message.quoted_destination == target && (any_source || message.quoted_source == source);
  }

  // One message from the socket (or its error queue), with the kernel's
  // receive time when it gave one.
  struct Received {
    std::size_t size = 0;
    bool truncated = false;
    sockaddr_in peer{};
    std::optional<Clock::time_point> received_at;
    std::optional<sock_extended_err> error;
    sockaddr_in offender{};
  };

  std::optional<Received> receive(std::span<std::uint8_t> buffer, int flags) {
    alignas(cmsghdr) std::array<std::uint8_t, 512> control;
    Received received;
    iovec vector{buffer.data(), buffer.size()};
    msghdr header{};
    header.msg_name = &received.peer;
    header.msg_namelen = sizeof received.peer;
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    // EAGAIN: drained. A pending socket error (reported when the error queue
    // is read) or anything else: back to waiting.
    const ssize_t size = ::recvmsg(fd_, &header, flags | MSG_DONTWAIT);
    if (size < 0) return std::nullopt;
    received.size = static_cast<std::size_t>(size);
    received.truncated = (header.msg_flags & MSG_TRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
          c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        received.received_at = to_steady_time(stamp);
      } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR &&
                 c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in))) {
        sock_extended_err error{};
        std::memcpy(&error, CMSG_DATA(c), sizeof error);
        received.error = error;
        // The sender of the ICMP error follows the record.
        std::memcpy(&received.offender, CMSG_DATA(c) + sizeof error, sizeof received.offender);
      }
    }
    return received;
  }

  std::optional<Answer> read_packets(Ipv4Address source, Ipv4Address target,
                                     std::uint16_t sequence) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer;
    for (int i = 0; i < kReadsPerWakeup; ++i) {
      const std::optional<Received> received = receive(buffer, 0);
      if (!received) return std::nullopt;
      // A packet larger than the buffer is not one of our answers.
      if (received->truncated) continue;
      const std::span<const std::uint8_t> packet(buffer.data(), received->size);
      const std::optional<IcmpMessage> message =
          kind_ == SocketKind::raw ? parse_ip_packet(packet)
                                   : parse_icmp_message(packet, address_of(received->peer));
      if (!message) continue;
      if (message->kind == IcmpMessageKind::echo_reply) {
        if (!is_our_echo(*message, target, sequence)) continue;
        return Answer{target,
                      ip_status::success,
                      {message->data.begin(), message->data.end()},
                      received->received_at};
      }
      if (is_our_request(*message, source, target, sequence)) {
        return Answer{message->sender.value_or(Ipv4Address{}),
                      ip_status_for_icmp_error(message->type, message->code),
                      {},
                      received->received_at};
      }
    }
    return std::nullopt;
  }

  // Datagram sockets only: ICMP errors that quote one of our requests.
  std::optional<Answer> read_error_queue(Ipv4Address source, Ipv4Address target,
                                         std::uint16_t sequence) {
    std::array<std::uint8_t, kReceiveBufferSize> data;
    for (int i = 0; i < kReadsPerWakeup; ++i) {
      const std::optional<Received> received = receive(data, MSG_ERRQUEUE);
      if (!received) return std::nullopt;
      if (!received->error || received->error->ee_origin != SO_EE_ORIGIN_ICMP) continue;
      // The queued data is the request as it went out: the ICMP header first.
      if (received->size < ICMP_HEADER_SIZE || received->truncated) continue;
      IcmpMessage quoted;
      quoted.identifier = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
      quoted.sequence = static_cast<std::uint16_t>(data[6] << 8 | data[7]);
      quoted.quoted_destination = address_of(received->peer);
      quoted.quoted_source = source;
      if (data[0] != ICMP_TYPE_ECHO_REQUEST || !is_our_request(quoted, source, target, sequence)) {
        continue;
      }
      const Ipv4Address offender =
          received->offender.sin_family == AF_INET ? address_of(received->offender) : Ipv4Address{};
      return Answer{offender,
                    ip_status_for_icmp_error(received->error->ee_type, received->error->ee_code),
                    {},
                    received->received_at};
    }
    return std::nullopt;
  }

  int fd_ = -1;
  SocketKind kind_ = SocketKind::datagram;
  std::optional<Ipv4Address> bound_source_;
  std::uint16_t identifier_ = 0;
  std::uint16_t sequence_ = 0;
};

}  // namespace

std::unique_ptr<IcmpEchoService> make_icmp_echo_service() {
  return std::make_unique<PosixIcmpEchoService>();
}

}  // namespace ketrova
