#include "echo/echo_match.h"

namespace ketrova {

bool icmp_error_fails_request(std::uint8_t type) {
  return type == ICMP_TYPE_DEST_UNREACHABLE || type == ICMP_TYPE_TIME_EXCEEDED ||
         type == ICMP_TYPE_PARAMETER_PROBLEM;
}

AnswerKind classify_answer(const IcmpMessage& message, const EchoRequestKey& key,
                           bool quote_shows_source) {
  if (message.identifier != key.identifier || message.sequence != key.sequence) {
    return AnswerKind::none;
  }
  if (message.kind == IcmpMessageKind::echo_reply) {
    return message.sender == key.target ? AnswerKind::reply : AnswerKind::none;
  }
  if (!icmp_error_fails_request(message.type)) return AnswerKind::none;
  if (message.quoted_destination != key.target) return AnswerKind::none;
  const bool any_source = key.source == Ipv4Address{};
  if (quote_shows_source && !any_source && message.quoted_source != key.source) {
    return AnswerKind::none;
  }
  return AnswerKind::failure;
}

}  // namespace ketrova
