#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "echo/echo_timing.h"
#include "net/ipv4_address.h"

namespace ketrova {

enum class SocketKind {
  datagram,  // the kernel owns the identifier and hands us only our replies
  raw,       // we see the host's ICMP and pick out our own
};

// Opens an ICMP socket for echo requests. The kernel stamps every request as
// it leaves (a record on the error queue, numbered from 0 in send order) and
// every packet as it arrives. A datagram socket queues the ICMP errors about
// its requests on the error queue; a raw socket admits only echo replies that
// carry `identifier` and the errors that quote a request carrying it. The
// descriptor is never 0, 1 or 2, so standard streams that were closed stay
// closed. Returns -1 on failure. Opening a raw socket needs CAP_NET_RAW
// effective; nothing else here needs any privilege.
int open_icmp_socket(SocketKind kind, std::uint16_t identifier);

// Moves `fd` to 3 or above, away from the standard streams, so that streams
// that were closed stay closed; returns the new descriptor (or -1).
int away_from_standard_streams(int fd);

// Asks the kernel for the stamps in `flags` (SOF_TIMESTAMPING_*), in their
// 64-bit form where the kernel has it. False when it refuses both forms.
bool enable_timestamping(int fd, int flags);

// How a socket is held to one interface.
enum class InterfaceHold {
  // Bound to the device: every packet it sends leaves there, whatever
  // routes, rules and marks say (a firewall's reroute included), and it
  // receives only what arrives there.
  device,
  // Its packets name the interface as their way out (IP_UNICAST_IF): the
  // kernel's own lookups honour it, a firewall's reroute after a mark does
  // not, and it receives whatever arrives, by any interface.
  output_interface,
  none,  // the kernel refuses every way
};

// Holds `fd` to the interface `index` (named `name`, which may be empty),
// before the socket is bound to an address: by the device's index, by its
// name where the index is refused (an emulator that does not know the
// option), and by naming it the output interface where both are refused.
// Needs no privilege on a socket not yet bound to a device (Linux 5.7 and
// later; before that, a device binding needs CAP_NET_RAW).
InterfaceHold hold_to_interface(int fd, unsigned index, const std::string& name);

// The kernel stamps arriving packets only while some socket on the host asks
// for it, and when the first one asks it switches stamping on from a worker
// thread a moment later: until then answers arrive without a receive stamp.
// Waits, for 250 ms at most, until a datagram that this process sends itself
// over the loopback interface arrives stamped. Needs no privilege.
void await_receive_stamps();

// One record of the error queue.
struct QueuedRecord {
  enum class Origin { icmp, transmit_stamp, other };
  Origin origin = Origin::other;
  std::uint8_t icmp_type = 0;  // icmp: the error's type and code
  std::uint8_t icmp_code = 0;
  std::optional<Ipv4Address> offender;  // icmp: who sent the error
  std::uint32_t stamp_key = 0;          // transmit_stamp: the request's number
};

// What one read from the socket or its error queue gave.
struct ReceivedMessage {
  std::size_t size = 0;  // bytes in the buffer
  bool truncated = false;
  std::optional<Ipv4Address> peer;  // sender; for an error record, the request's destination
  std::optional<Nanos> stamp;       // the kernel's stamp, on the real-time clock
  std::optional<QueuedRecord> record;
};

// Reads one message without blocking. Nothing when the queue is empty.
std::optional<ReceivedMessage> receive_message(int fd, std::span<std::uint8_t> buffer,
                                               bool error_queue);

// An ICMP socket's two queues and its pending error, as the echo reader
// reads them, and the wait for something to arrive; a test puts a scripted
// socket in their place.
class SocketQueues {
 public:
  virtual ~SocketQueues() = default;

  // One message from the packet queue or the error queue, without blocking
  // (receive_message()).
  virtual std::optional<ReceivedMessage> receive(std::span<std::uint8_t> buffer,
                                                 bool error_queue) = 0;

  // Reads the socket's pending error, which clears it.
  virtual void take_pending_error() = 0;

  // Waits up to `timeout` until the packet queue holds something (poll
  // reports a queued record or a pending error, POLLERR, as well): the
  // events in `revents` and a positive number, 0 when the time passed or a
  // signal came first, -1 when the wait failed.
  virtual int wait(Nanos timeout, short& revents) = 0;
};

// The kernel's socket `fd` (not owned).
class KernelQueues final : public SocketQueues {
 public:
  explicit KernelQueues(int fd) : fd_(fd) {}
  std::optional<ReceivedMessage> receive(std::span<std::uint8_t> buffer, bool error_queue) override;
  void take_pending_error() override;
  int wait(Nanos timeout, short& revents) override;

 private:
  int fd_;
};

}  // namespace ketrova
