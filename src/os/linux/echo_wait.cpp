#include "os/linux/echo_wait.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "echo/echo_status.h"
#include "os/linux/clocks.h"

namespace ketrova {
namespace {

// Reads from each queue per wake-up before the deadline is looked at again,
// so that a flood cannot hold a request past its deadline; and when the
// deadline has passed, at most this many more are judged by their stamps.
constexpr int READS_PER_WAKEUP = 64;
constexpr int READS_AT_DEADLINE = 256;

timespec to_timespec(Nanos duration) {
  timespec result{};
  result.tv_sec = static_cast<time_t>(duration / 1'000'000'000);
  result.tv_nsec = static_cast<long>(duration % 1'000'000'000);
  return result;
}

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
          stamp_to_monotonic(*candidate.when.stamp, candidate.when.read_at, echo.send_started)) {
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
    const Nanos now = monotonic_now();
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
    const timespec wait = to_timespec(echo.deadline() - now);
    pollfd descriptor{reader.fd(), POLLIN, 0};
    const int ready = ::ppoll(&descriptor, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    if (auto answer = read_round(reader, echo, keys, descriptor.revents, READS_PER_WAKEUP)) {
      return answer;
    }
  }
}

}  // namespace ketrova
