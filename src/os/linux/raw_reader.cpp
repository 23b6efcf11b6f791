// A raw ICMP socket: its packet queue holds echo replies and ICMP errors in
// the order they arrived, each with its IPv4 header (an error with the whole
// header of the request it quotes); its error queue only the transmit stamps.

#include <sys/socket.h>

#include <cerrno>

#include "os/linux/echo_reader.h"

namespace ketrova {
namespace {

class RawReader final : public EchoReader {
 public:
  explicit RawReader(int fd) : EchoReader(fd) {}
  RawReader(SocketQueues& queues, Clocks& clocks) : EchoReader(queues, clocks) {}

  int send(std::span<const std::uint8_t> request, const sockaddr_in& to) override {
    for (;;) {
      if (::sendto(fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) >= 0) {
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }

 protected:
  bool decode_packet(const ReceivedMessage& message, std::span<const std::uint8_t> bytes,
                     Candidate& candidate) override {
    // A packet larger than the buffer is not one of our answers.
    if (message.truncated) return false;
    const std::optional<IcmpMessage> parsed = parse_ip_packet(bytes);
    if (!parsed) return false;
    candidate.kind = Candidate::Kind::message;
    candidate.message = *parsed;
    candidate.quote_shows_source = true;
    return true;
  }

  bool decode_record(const ReceivedMessage& message, std::span<const std::uint8_t>,
                     Candidate& candidate) override {
    return decode_transmit_stamp(message, candidate);
  }

  bool records_answer() const override { return false; }
};

}  // namespace

std::unique_ptr<EchoReader> make_raw_reader(int fd) {
  return std::make_unique<RawReader>(fd);
}

std::unique_ptr<EchoReader> make_raw_reader(SocketQueues& queues, Clocks& clocks) {
  return std::make_unique<RawReader>(queues, clocks);
}

}  // namespace ketrova
