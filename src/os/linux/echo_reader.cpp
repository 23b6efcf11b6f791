#include "os/linux/echo_reader.h"

#include <poll.h>

namespace ketrova {
namespace {

// Whether the error queue's `record` goes before the packet queue's
// `packet`. A transmit stamp always does: its request left before anything
// could answer it. An ICMP error does where the kernel stamped both and the
// error arrived first. Where either has no kernel stamp (the kernel's receive
// stamping not on yet, or an emulator that passes no ancillary data), which
// arrived first cannot be told, and the moments they were read say only in
// which order this reader took them: the packet, a reply, goes first, so
// that a reply is never lost to an error quoting the same request. The same
// holds where both stamps are equal.
bool record_first(const Candidate& record, const Candidate& packet) {
  if (record.kind == Candidate::Kind::transmit_stamp) return true;
  return record.when.stamp && packet.when.stamp && *record.when.stamp < *packet.when.stamp;
}

}  // namespace

void EchoReader::start_round(short revents, int limit) {
  queues_[ERROR_QUEUE].ready = (revents & POLLERR) != 0;
  queues_[PACKET_QUEUE].ready = (revents & POLLIN) != 0;
  for (Queue& queue : queues_) {
    queue.reads_left = limit;
    queue.read_any = false;
  }
}

bool EchoReader::next(Candidate& candidate) {
  fill(ERROR_QUEUE);
  fill(PACKET_QUEUE);
  Queue& errors = queues_[ERROR_QUEUE];
  Queue& packets = queues_[PACKET_QUEUE];
  Queue* first = nullptr;
  if (errors.held && packets.held) {
    first = record_first(errors.head, packets.head) ? &errors : &packets;
  } else if (errors.held) {
    first = &errors;
  } else if (packets.held) {
    first = &packets;
  }
  if (first == nullptr) return false;
  first->held = false;
  if (first == &errors && !records_answer()) errors.ready = false;
  candidate = first->head;
  return true;
}

void EchoReader::forget() {
  for (Queue& queue : queues_) queue.held = false;
}

// Reads the queue until it holds a candidate, runs dry or has been read up
// to its limit.
void EchoReader::fill(std::size_t which) {
  Queue& queue = queues_[which];
  while (!queue.held && queue.ready && queue.reads_left > 0) {
    --queue.reads_left;
    const std::optional<ReceivedMessage> message =
        socket_->receive(queue.buffer, which == ERROR_QUEUE);
    if (!message) {
      // Poll reports a pending socket error as it reports a queued record;
      // one with nothing queued behind it would wake every wait at once.
      if (which == ERROR_QUEUE && !queue.read_any) socket_->take_pending_error();
      queue.ready = false;
      break;
    }
    queue.read_any = true;
    const std::span<const std::uint8_t> bytes = std::span(queue.buffer).first(message->size);
    const bool decoded = which == ERROR_QUEUE ? decode_record(*message, bytes, queue.head)
                                              : decode_packet(*message, bytes, queue.head);
    if (decoded) {
      queue.head.when.stamp = message->stamp;
      queue.head.when.read_at = clocks_->both();
      queue.head.when.fallback = queue.head.when.read_at.monotonic;
      queue.held = true;
    }
  }
}

bool decode_transmit_stamp(const ReceivedMessage& message, Candidate& candidate) {
  if (!message.record || message.record->origin != QueuedRecord::Origin::transmit_stamp) {
    return false;
  }
  candidate.kind = Candidate::Kind::transmit_stamp;
  candidate.stamp_key = message.record->stamp_key;
  return true;
}

}  // namespace ketrova
