#include "os/linux/echo_wait.h"

#include <poll.h>

#include "echo/echo_status.h"

namespace ketrova {
namespace {

// Reads from each queue per wake-up before the deadline is looked at again,
// so that a flood cannot hold a request past its deadline; and when the
// deadline has passed, at most this many more are judged by their stamps.
constexpr int READS_PER_WAKEUP = 64;
constexpr int READS_AT_DEADLINE = 256;

// Reads one round. The first answer to `echo` ends it, whether it arrived in
// time or not: the reader hands out what the kernel received first first,
// so nothing read after it can have arrived earlier.
std::optional<EchoAnswer> read_round(EchoReader& reader, PendingEcho& echo,
                                     const TransmitStampKeys& keys, short revents, int limit) {
  reader.start_round(revents, limit);
  Candidate candidate;
  while (reader.next(candidate)) {
    if (candidate.kind == Candidate::Kind::transmit_stamp) {
      if (!echo.stamped && keys.may_be_current(candidate.stamp_key) && candidate.when.stamp &&
          stamp_fits(*candidate.when.stamp, echo.sent, candidate.when.read_at)) {
        echo.departure.stamp = candidate.when.stamp;
        echo.departure.read_at = candidate.when.read_at;
        echo.stamped = true;
        echo.stamp_key = candidate.stamp_key;
      }
      continue;
    }
    const IcmpMessage& message = candidate.message;
    switch (classify_answer(message, echo.key, candidate.quote_shows_source)) {
      case AnswerKind::reply:
        return EchoAnswer{echo.key.target, IP_STATUS_SUCCESS,
                          std::vector<std::uint8_t>(message.data.begin(), message.data.end()),
                          candidate.when};
      case AnswerKind::failure:
        return EchoAnswer{message.sender.value_or(Ipv4Address{}),
                          ip_status_for_icmp_error(message.type, message.code),
                          {},
                          candidate.when};
      case AnswerKind::none:
        break;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<EchoAnswer> wait_for_answer(EchoReader& reader, PendingEcho& echo,
                                          const TransmitStampKeys& keys) {
  reader.forget();
  for (;;) {
    const Nanos now = reader.clocks().monotonic();
    const Nanos deadline = echo.deadline();
    if (now >= deadline) {
      std::optional<EchoAnswer> answer =
          read_round(reader, echo, keys, POLLIN | POLLERR, READS_AT_DEADLINE);
      // The request's transmit stamp, read only now (the process was held
      // in its send), tells that it left later than the send began: its
      // wait runs on from there.
      if (answer || echo.deadline() <= deadline) return answer;
      continue;
    }
    short revents = 0;
    const int ready = reader.socket().wait(echo.deadline() - now, revents);
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;
    if (auto answer = read_round(reader, echo, keys, revents, READS_PER_WAKEUP)) {
      return answer;
    }
  }
}

}  // namespace ketrova
