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
// departure, however late this process gets round to reading it. And like
// it, a request from an address leaves through the interface that holds the
// address (uplink.h).

#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

#include "echo/echo_match.h"
#include "echo/echo_service.h"
#include "echo/echo_status.h"
#include "echo/echo_timing.h"
#include "echo/icmp_packet.h"
#include "echo/reply_record.h"
#include "os/linux/clocks.h"
#include "os/linux/echo_reader.h"
#include "os/linux/echo_wait.h"
#include "os/linux/icmp_socket.h"
#include "os/linux/privileges.h"
#include "os/linux/uplink.h"

namespace ketrova {
namespace {

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
      return IP_STATUS_GENERAL_FAILURE;
  }
}

// The user the kernel routes the socket's packets as: the one that opened it.
uid_t socket_owner(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 ? status.st_uid : ::geteuid();
}

std::uint32_t random_u32() {
  std::uint32_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
    value = static_cast<std::uint32_t>(::getpid() ^ monotonic_now());
  }
  return value;
}

class LinuxIcmpEchoService final : public IcmpEchoService {
 public:
  ~LinuxIcmpEchoService() override { close(); }

  bool open() override {
    close();
    // Where the process could not be limited at start, it opens nothing.
    if (!capabilities_limited()) return false;
    // A random identifier, and a random first sequence number as well, so
    // that probes running at once on raw sockets never share a pair.
    const std::uint32_t random = random_u32();
    identifier_ = static_cast<std::uint16_t>(random >> 16);
    sequence_ = static_cast<std::uint16_t>(random);
    stamp_keys_ = {};
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
    reader_ = make_echo_reader(kind_, fd_);
    routes_ = std::make_unique<UplinkRoutes>(socket_owner(fd_));
    await_receive_stamps();
    return true;
  }

  EchoOutcome send_echo(Ipv4Address source, Ipv4Address target,
                        std::span<const std::uint8_t> payload, std::span<std::uint8_t> reply_buffer,
                        std::uint32_t timeout_ms) override {
    if (fd_ < 0) return {0, ERROR_INVALID_PARAMETER_CODE};
    if (reply_buffer.size() < REPLY_RECORD_SIZE + payload.size() + 8) {
      return {0, IP_STATUS_BUF_TOO_SMALL};
    }
    if (const std::uint32_t error = bind_source(source, target)) return {0, error};
    if (const std::uint32_t error = check_route(source, target)) return {0, error};

    PendingEcho echo;
    echo.key = {identifier_, ++sequence_, source, target};
    echo.timeout_ms = timeout_ms;
    const std::vector<std::uint8_t> request =
        build_echo_request(echo.key.identifier, echo.key.sequence, payload);
    echo.sent = read_clocks();
    if (const int error = reader_->send(request, socket_address(target))) {
      return {0, send_error_code(error)};
    }
    // Until the kernel's transmit stamp is read (and where none comes), the
    // request left when the send began: a send that returns late (a busy
    // host, an emulator) then makes a round trip a little long, never short.
    echo.departure.fallback = echo.sent.monotonic;

    const std::optional<EchoAnswer> answer = wait_for_answer(*reader_, echo, stamp_keys_);
    if (echo.stamped) {
      stamp_keys_.stamped(echo.stamp_key);
    } else {
      stamp_keys_.unstamped();
    }
    if (!answer) return {0, IP_STATUS_REQ_TIMED_OUT};
    const std::optional<std::uint32_t> round_trip =
        round_trip_ms(echo.departure, answer->arrival, echo.sent, timeout_ms);
    if (!round_trip) return {0, IP_STATUS_REQ_TIMED_OUT};
    write_reply_record(reply_buffer, answer->from, answer->status, *round_trip, answer->data);
    return {1, 0};
  }

  void close() override {
    reader_.reset();
    routes_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    bound_source_.reset();
    uplink_ = {};
  }

 private:
  // Binds the socket to `source` unless it already is; 0 on success, else
  // the request's error code. Before the socket is bound, the way its
  // requests leave is found (for the first request's target), and the
  // socket is held to the source's interface where that is the way. The
  // socket is bound once: a raw socket could not be opened again without
  // privilege.
  std::uint32_t bind_source(Ipv4Address source, Ipv4Address target) {
    if (bound_source_ == source) return 0;
    if (bound_source_) return ERROR_INVALID_PARAMETER_CODE;
    uplink_ = routes_->choose(source, target);
    if (uplink_.way == Uplink::Way::by_interface &&
        hold_to_interface(fd_, uplink_.interface_index, uplink_.interface_name) ==
            InterfaceHold::none) {
      // Never through another uplink: where the socket cannot be held to
      // its interface, no request can be sent from its address.
      uplink_.way = Uplink::Way::unknown;
    }
    if (uplink_.way == Uplink::Way::unknown) return ERROR_NETWORK_UNREACHABLE_CODE;
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

  // Decided for each request, as the platform's service decides it: a
  // request held to its interface is sent only while that interface still
  // holds the address, has carrier and has a route to the target (otherwise
  // the kernel would take the target for a neighbour on that link); 0, or
  // the error code of a request not sent. The socket cannot be held anew
  // without the privilege given up.
  std::uint32_t check_route(Ipv4Address source, Ipv4Address target) {
    if (uplink_.way != Uplink::Way::by_interface) return 0;
    return routes_->may_send(source, target, uplink_) ? 0 : ERROR_NETWORK_UNREACHABLE_CODE;
  }

  int fd_ = -1;
  SocketKind kind_ = SocketKind::datagram;
  std::unique_ptr<EchoReader> reader_;
  std::optional<Ipv4Address> bound_source_;
  std::unique_ptr<UplinkRoutes> routes_;
  Uplink uplink_;
  std::uint16_t identifier_ = 0;
  std::uint16_t sequence_ = 0;
  TransmitStampKeys stamp_keys_;
};

}  // namespace

std::unique_ptr<IcmpEchoService> make_icmp_echo_service() {
  return std::make_unique<LinuxIcmpEchoService>();
}

}  // namespace ketrova
