#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "echo/echo_timing.h"
#include "echo/icmp_packet.h"
#include "os/linux/clocks.h"
#include "os/linux/icmp_socket.h"

namespace ketrova {

// Something read from an ICMP socket that may concern the request waited
// for, with the kernel's stamp of it.
struct Candidate {
  enum class Kind {
    transmit_stamp,  // a request of this socket left; `stamp_key` numbers it
    message,         // an echo reply or ICMP error; `message` says what it is about
  };
  Kind kind = Kind::message;
  std::uint32_t stamp_key = 0;
  IcmpMessage message;  // its data stays valid until the next read
  // Whether an error's quote showed the request's source address (a raw
  // socket sees the whole quoted header; a datagram socket only the ICMP part).
  bool quote_shows_source = false;
  // The kernel's stamp: when the request left, or when the message arrived.
  StampedMoment when;
};

// One socket kind's side of an echo: sending a request, and reading what
// comes back. An ICMP socket has two queues: the packets it receives, and
// its error queue, which holds the transmit stamps of its requests (and, on
// a datagram socket, the ICMP errors about them). Both are read side by side
// and what they hold is handed out by the kernel's stamps, so that of two
// answers to the same request in different queues, the one the kernel
// received first comes first (the reply, where the stamps cannot tell).
class EchoReader {
 public:
  virtual ~EchoReader() = default;
  EchoReader(const EchoReader&) = delete;
  EchoReader& operator=(const EchoReader&) = delete;

  int fd() const { return fd_; }
  SocketQueues& socket() { return *socket_; }
  Clocks& clocks() { return *clocks_; }

  // Sends `request` to `to`. 0, or the errno of the failure.
  virtual int send(std::span<const std::uint8_t> request, const sockaddr_in& to) = 0;

  // A new round of reads. `revents` (POLLIN, POLLERR) tells which queues
  // poll found something in; each is read up to `limit` times in the round.
  void start_round(short revents, int limit);

  // The next candidate of the round, the earliest-received first; false when
  // the round's queues are empty or read up to their limit.
  bool next(Candidate& candidate);

  // Forgets what was read but not yet handed out (a new request begins).
  void forget();

 protected:
  // Reads the socket `fd` itself, by the system's clocks.
  explicit EchoReader(int fd) : fd_(fd), own_socket_(fd), socket_(&own_socket_) {}
  // Reads `queues` by `clocks` (neither owned); sends nothing.
  EchoReader(SocketQueues& queues, Clocks& clocks)
      : fd_(-1), own_socket_(-1), socket_(&queues), clocks_(&clocks) {}

  // What a message from the packet queue, or a record from the error queue,
  // says, in `candidate` (its `when` is filled in afterwards). False when it
  // concerns no request.
  virtual bool decode_packet(const ReceivedMessage& message, std::span<const std::uint8_t> bytes,
                             Candidate& candidate) = 0;
  virtual bool decode_record(const ReceivedMessage& message, std::span<const std::uint8_t> bytes,
                             Candidate& candidate) = 0;

  // Whether the error queue can hold answers (ICMP errors), or only the
  // transmit stamps: then one stamp a round is read from it, and what it
  // may still hold waits for the next round (poll reports it at once).
  virtual bool records_answer() const = 0;

 private:
  struct Queue {
    bool ready = false;
    int reads_left = 0;
    bool read_any = false;
    bool held = false;  // `head` read and not handed out yet
    Candidate head;
    std::array<std::uint8_t, 2048> buffer{};
  };
  static constexpr std::size_t ERROR_QUEUE = 0;
  static constexpr std::size_t PACKET_QUEUE = 1;

  void fill(std::size_t which);

  int fd_;
  KernelQueues own_socket_;
  SocketQueues* socket_;
  SystemClocks system_clocks_;
  Clocks* clocks_ = &system_clocks_;
  std::array<Queue, 2> queues_;
};

// The readers for sockets opened by open_icmp_socket(); they do not own the
// descriptor.
std::unique_ptr<EchoReader> make_raw_reader(int fd);
std::unique_ptr<EchoReader> make_datagram_reader(int fd);
// Readers of `queues` by `clocks` (neither owned).
std::unique_ptr<EchoReader> make_raw_reader(SocketQueues& queues, Clocks& clocks);
std::unique_ptr<EchoReader> make_datagram_reader(SocketQueues& queues, Clocks& clocks);

inline std::unique_ptr<EchoReader> make_echo_reader(SocketKind kind, int fd) {
  return kind == SocketKind::raw ? make_raw_reader(fd) : make_datagram_reader(fd);
}
inline std::unique_ptr<EchoReader> make_echo_reader(SocketKind kind, SocketQueues& queues,
                                                    Clocks& clocks) {
  return kind == SocketKind::raw ? make_raw_reader(queues, clocks)
                                 : make_datagram_reader(queues, clocks);
}

// The transmit stamp among an error queue's records; false for any other.
bool decode_transmit_stamp(const ReceivedMessage& message, Candidate& candidate);

}  // namespace ketrova
