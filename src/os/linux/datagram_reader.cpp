// A datagram ICMP socket ("ping socket"): the kernel hands it the echo
// replies to its own requests (ICMP header first), and queues the ICMP
// errors about them, with the transmit stamps, on its error queue. An ICMP
// error (a Redirect and a Source Quench too) also sets the socket's pending
// error, which the next send or read returns once and clears.

#include <sys/socket.h>

#include <cerrno>

#include "os/linux/echo_reader.h"

namespace ketrova {
namespace {

// The pending errors that the kernel makes of ICMP messages about the
// socket's requests.
bool reported_by_icmp(int error) {
  switch (error) {
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENOPROTOOPT:
    case ECONNREFUSED:
    case EMSGSIZE:
    case EOPNOTSUPP:
    case EHOSTDOWN:
    case ENONET:
    case EPROTO:
    case EREMOTEIO:
      return true;
    default:
      return false;
  }
}

// A send that fails with such an error may only have been handed the verdict
// of an ICMP message on an earlier request, which that failure cleared, and
// another can arrive before the send is made again; a failure of the send's
// own comes back every time. So such a send is made up to this many times.
// The error queue, not the pending error, says what ICMP messages were about.
constexpr int SEND_ATTEMPTS = 4;

class DatagramReader final : public EchoReader {
 public:
  explicit DatagramReader(int fd) : EchoReader(fd) {}
  DatagramReader(SocketQueues& queues, Clocks& clocks) : EchoReader(queues, clocks) {}

  int send(std::span<const std::uint8_t> request, const sockaddr_in& to) override {
    int error = 0;
    for (int attempt = 0; attempt < SEND_ATTEMPTS;) {
      if (::sendto(fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) >= 0) {
        return 0;
      }
      error = errno;
      if (error == EINTR) continue;
      if (!reported_by_icmp(error)) break;
      ++attempt;
    }
    return error;
  }

 protected:
  bool decode_packet(const ReceivedMessage& message, std::span<const std::uint8_t> bytes,
                     Candidate& candidate) override {
    if (message.truncated) return false;
    const std::optional<IcmpMessage> parsed = parse_icmp_message(bytes, message.peer);
    if (!parsed) return false;
    candidate.kind = Candidate::Kind::message;
    candidate.message = *parsed;
    candidate.quote_shows_source = false;
    return true;
  }

  // A transmit stamp, or an ICMP error about a request: its data is that
  // request as it went out (ICMP header first), its peer the request's
  // destination.
  bool decode_record(const ReceivedMessage& message, std::span<const std::uint8_t> bytes,
                     Candidate& candidate) override {
    if (decode_transmit_stamp(message, candidate)) return true;
    if (!message.record || message.record->origin != QueuedRecord::Origin::icmp ||
        message.truncated || !message.peer) {
      return false;
    }
    const QueuedRecord& record = *message.record;
    const std::optional<IcmpMessage> quoted = parse_queued_error(
        bytes, record.icmp_type, record.icmp_code, record.offender, *message.peer);
    if (!quoted) return false;
    candidate.kind = Candidate::Kind::message;
    candidate.message = *quoted;
    candidate.quote_shows_source = false;
    return true;
  }

  bool records_answer() const override { return true; }
};

}  // namespace

std::unique_ptr<EchoReader> make_datagram_reader(int fd) {
  return std::make_unique<DatagramReader>(fd);
}

std::unique_ptr<EchoReader> make_datagram_reader(SocketQueues& queues, Clocks& clocks) {
  return std::make_unique<DatagramReader>(queues, clocks);
}

}  // namespace ketrova
