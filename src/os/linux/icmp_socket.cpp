#include "os/linux/icmp_socket.h"

#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <linux/if.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "echo/icmp_packet.h"
#include "os/linux/clocks.h"

namespace ketrova {
namespace {

constexpr sock_filter statement(std::uint16_t code, std::uint32_t k) {
  return sock_filter{code, 0, 0, k};
}
constexpr sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t if_true,
                           std::uint8_t if_false) {
  return sock_filter{code, if_true, if_false, k};
}

// A raw ICMP socket is handed a copy of every ICMP packet the host receives.
// This filter, run by the kernel, keeps the echo replies carrying our
// identifier and the failure errors whose quoted ICMP header carries it, so
// that other processes' traffic never reaches (or wakes) this one. Offsets
// are from the start of the IPv4 header.
std::array<sock_filter, 17> echo_filter(std::uint16_t identifier) {
  return {{
      statement(BPF_LDX | BPF_B | BPF_MSH, 0),                            // 0: X = IP header length
      statement(BPF_LD | BPF_B | BPF_IND, 0),                             // 1: A = ICMP type
      jump(BPF_JMP | BPF_JEQ | BPF_K, ICMP_TYPE_ECHO_REPLY, 0, 2),        // 2: reply? 3 : 5
      statement(BPF_LD | BPF_H | BPF_IND, 4),                             // 3: A = identifier
      jump(BPF_JMP | BPF_JEQ | BPF_K, identifier, 10, 11),                // 4: ours? 15 : 16
      jump(BPF_JMP | BPF_JEQ | BPF_K, ICMP_TYPE_DEST_UNREACHABLE, 2, 0),  // 5: 8 : 6
      jump(BPF_JMP | BPF_JEQ | BPF_K, ICMP_TYPE_TIME_EXCEEDED, 1, 0),     // 6: 8 : 7
      jump(BPF_JMP | BPF_JEQ | BPF_K, ICMP_TYPE_PARAMETER_PROBLEM, 0, 8),  // 7: 8 : 16
      statement(BPF_LD | BPF_B | BPF_IND, 8),             // 8: A = quoted version and length
      statement(BPF_ALU | BPF_AND | BPF_K, 0x0F),         // 9
      statement(BPF_ALU | BPF_LSH | BPF_K, 2),            // 10: A = quoted header length
      statement(BPF_ALU | BPF_ADD | BPF_X, 0),            // 11: A += X
      statement(BPF_MISC | BPF_TAX, 0),                   // 12: X = A
      statement(BPF_LD | BPF_H | BPF_IND, 8 + 4),         // 13: A = quoted identifier
      jump(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, 1),  // 14: ours? 15 : 16
      statement(BPF_RET | BPF_K, 0xFFFFFFFF),             // 15: keep the whole packet
      statement(BPF_RET | BPF_K, 0),                      // 16: drop it
  }};
}

void set_option(int fd, int level, int name, const void* value, socklen_t size) {
  // Each option improves what the socket delivers; without one the layer
  // still works (matching is done on every packet again, and missing stamps
  // fall back to the clock).
  (void)::setsockopt(fd, level, name, value, size);
}

// Until its filter is attached a raw socket is handed every ICMP packet the
// host receives. With many probes running at once those can fill its receive
// buffer in that moment, and the reply to its first request would then be
// dropped by the kernel. Nothing queued before the first request is ours.
void discard_queued(int fd) {
  std::array<std::uint8_t, 64> packet;
  for (int i = 0; i < 1024; ++i) {
    if (::recv(fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_TRUNC) < 0) return;
  }
}

// The kernel's stamps come in two forms: with 64-bit seconds on every
// architecture (asked for first), and in the kernel's native `long` pairs,
// which end in 2038 on 32-bit architectures (kernels before 5.1 know only
// those).
#ifdef SO_TIMESTAMPING_NEW
constexpr int TIMESTAMPING_64 = SO_TIMESTAMPING_NEW;
#else
constexpr int TIMESTAMPING_64 = -1;
#endif
#ifdef SO_TIMESTAMPING_OLD
constexpr int TIMESTAMPING_NATIVE = SO_TIMESTAMPING_OLD;
#else
constexpr int TIMESTAMPING_NATIVE = SO_TIMESTAMPING;
#endif

// Reads the first of a stamp record's timespecs (the software stamp; zero
// means none), whose fields are of type `Field`.
template <typename Field>
std::optional<Nanos> first_stamp(const cmsghdr* c) {
  Field fields[2]{};
  if (c->cmsg_len < CMSG_LEN(3 * sizeof fields)) return std::nullopt;
  std::memcpy(fields, CMSG_DATA(c), sizeof fields);
  if (fields[0] == 0 && fields[1] == 0) return std::nullopt;
  return static_cast<Nanos>(fields[0]) * 1'000'000'000 + static_cast<Nanos>(fields[1]);
}

// The kernel's software stamp among a message's ancillary data.
std::optional<Nanos> software_stamp(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == TIMESTAMPING_64) return first_stamp<std::int64_t>(c);
    if (c->cmsg_type == TIMESTAMPING_NATIVE) return first_stamp<long>(c);
  }
  return std::nullopt;
}

}  // namespace

int away_from_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

bool enable_timestamping(int fd, int flags) {
  if (TIMESTAMPING_64 >= 0 &&
      ::setsockopt(fd, SOL_SOCKET, TIMESTAMPING_64, &flags, sizeof flags) == 0) {
    return true;
  }
  return ::setsockopt(fd, SOL_SOCKET, TIMESTAMPING_NATIVE, &flags, sizeof flags) == 0;
}

InterfaceHold hold_to_interface(int fd, unsigned index, const std::string& name) {
#ifdef SO_BINDTOIFINDEX
  const int by_index = static_cast<int>(index);
  if (::setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &by_index, sizeof by_index) == 0) {
    return InterfaceHold::device;
  }
#endif
  if (!name.empty() && name.size() < IFNAMSIZ &&
      ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                   static_cast<socklen_t>(name.size() + 1)) == 0) {
    return InterfaceHold::device;
  }
  // The index in network byte order, as IPv4 sockets take it.
  const std::uint32_t output = htonl(index);
  if (::setsockopt(fd, IPPROTO_IP, IP_UNICAST_IF, &output, sizeof output) == 0) {
    return InterfaceHold::output_interface;
  }
  return InterfaceHold::none;
}

int open_icmp_socket(SocketKind kind, std::uint16_t identifier) {
  const int type = kind == SocketKind::datagram ? SOCK_DGRAM : SOCK_RAW;
  const int fd = away_from_standard_streams(::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (fd < 0) return -1;
  const int stamping = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_RX_SOFTWARE |
                       SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_ID |
                       SOF_TIMESTAMPING_OPT_TSONLY;
  (void)enable_timestamping(fd, stamping);
  if (kind == SocketKind::datagram) {
    const int on = 1;
    set_option(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  } else {
    icmp_filter types{};
    types.data = ~((1u << ICMP_TYPE_ECHO_REPLY) | (1u << ICMP_TYPE_DEST_UNREACHABLE) |
                   (1u << ICMP_TYPE_TIME_EXCEEDED) | (1u << ICMP_TYPE_PARAMETER_PROBLEM));
    set_option(fd, SOL_RAW, ICMP_FILTER, &types, sizeof types);
    std::array<sock_filter, 17> program = echo_filter(identifier);
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    set_option(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
    discard_queued(fd);
  }
  return fd;
}

void await_receive_stamps() {
  // Its own calls (write, recvmmsg, poll) keep apart from those of the echo
  // requests (sendto, recvmsg, ppoll), so that a tracer can tell them apart.
  const int fd = away_from_standard_streams(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd < 0) return;
  const int stamping = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof self;
  // Without a loopback interface (down in a new network namespace) there is
  // nothing to wait with.
  if (enable_timestamping(fd, stamping) &&
      ::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) == 0 &&
      ::connect(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) == 0) {
    // On a busy host the kernel's worker can take a while; where stamping
    // never comes on, the probe goes on without it after this long.
    const Nanos give_up = monotonic_now() + 250 * NANOS_PER_MS;
    while (monotonic_now() < give_up) {
      std::uint8_t byte = 0;
      if (::write(fd, &byte, 1) != 1) break;
      pollfd descriptor{fd, POLLIN, 0};
      if (::poll(&descriptor, 1, 2) <= 0) continue;
      alignas(cmsghdr) std::array<std::uint8_t, 128> control;
      iovec vector{&byte, 1};
      mmsghdr message{};
      message.msg_hdr.msg_iov = &vector;
      message.msg_hdr.msg_iovlen = 1;
      message.msg_hdr.msg_control = control.data();
      message.msg_hdr.msg_controllen = control.size();
      if (::recvmmsg(fd, &message, 1, MSG_DONTWAIT, nullptr) == 1 &&
          software_stamp(message.msg_hdr)) {
        break;
      }
      ::poll(nullptr, 0, 2);  // a moment for the kernel's worker
    }
  }
  ::close(fd);
}

std::optional<ReceivedMessage> receive_message(int fd, std::span<std::uint8_t> buffer,
                                               bool error_queue) {
  alignas(cmsghdr) std::array<std::uint8_t, 512> control;
  sockaddr_in peer{};
  iovec vector{buffer.data(), buffer.size()};
  msghdr header{};
  header.msg_iov = &vector;
  header.msg_iovlen = 1;
  ssize_t size = -1;
  // A pending socket error (an ICMP error reported to a datagram socket) is
  // returned by one read and then cleared: read again.
  for (int attempt = 0; attempt < 4 && size < 0; ++attempt) {
    header.msg_name = &peer;
    header.msg_namelen = sizeof peer;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    header.msg_flags = 0;
    size = ::recvmsg(fd, &header, MSG_DONTWAIT | (error_queue ? MSG_ERRQUEUE : 0));
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  }
  if (size < 0) return std::nullopt;

  ReceivedMessage message;
  message.size = static_cast<std::size_t>(size);
  message.truncated = (header.msg_flags & MSG_TRUNC) != 0;
  if (header.msg_namelen >= sizeof peer && peer.sin_family == AF_INET) {
    message.peer = from_network_order(peer.sin_addr.s_addr);
  }
  message.stamp = software_stamp(header);
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR &&
        c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
      sock_extended_err error{};
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      QueuedRecord record;
      if (error.ee_origin == SO_EE_ORIGIN_ICMP) {
        record.origin = QueuedRecord::Origin::icmp;
        record.icmp_type = error.ee_type;
        record.icmp_code = error.ee_code;
        // The sender of the error follows the record.
        if (c->cmsg_len >= CMSG_LEN(sizeof error + sizeof(sockaddr_in))) {
          sockaddr_in offender{};
          std::memcpy(&offender, CMSG_DATA(c) + sizeof error, sizeof offender);
          if (offender.sin_family == AF_INET) {
            record.offender = from_network_order(offender.sin_addr.s_addr);
          }
        }
      } else if (error.ee_origin == SO_EE_ORIGIN_TIMESTAMPING && error.ee_info == SCM_TSTAMP_SND) {
        record.origin = QueuedRecord::Origin::transmit_stamp;
        record.stamp_key = error.ee_data;
      }
      message.record = record;
    }
  }
  return message;
}

std::optional<ReceivedMessage> KernelQueues::receive(std::span<std::uint8_t> buffer,
                                                     bool error_queue) {
  return receive_message(fd_, buffer, error_queue);
}

void KernelQueues::take_pending_error() {
  int error = 0;
  socklen_t size = sizeof error;
  (void)::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
}

int KernelQueues::wait(Nanos timeout, short& revents) {
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(timeout / 1'000'000'000);
  wait.tv_nsec = static_cast<long>(timeout % 1'000'000'000);
  pollfd descriptor{fd_, POLLIN, 0};
  const int ready = ::ppoll(&descriptor, 1, &wait, nullptr);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  revents = descriptor.revents;
  return ready;
}

}  // namespace ketrova
