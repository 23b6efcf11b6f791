#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "net/ipv4_address.h"

namespace ketrova {

inline constexpr std::uint8_t ICMP_TYPE_ECHO_REPLY = 0;
inline constexpr std::uint8_t ICMP_TYPE_DEST_UNREACHABLE = 3;
inline constexpr std::uint8_t ICMP_TYPE_SOURCE_QUENCH = 4;
inline constexpr std::uint8_t ICMP_TYPE_ECHO_REQUEST = 8;
inline constexpr std::uint8_t ICMP_TYPE_TIME_EXCEEDED = 11;
inline constexpr std::uint8_t ICMP_TYPE_PARAMETER_PROBLEM = 12;
inline constexpr std::size_t ICMP_HEADER_SIZE = 8;

// The Internet checksum (RFC 1071) of `bytes`.
std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes);

// An ICMP echo request: header (type 8, code 0, checksum, identifier,
// sequence, both in network order) followed by the payload.
std::vector<std::uint8_t> build_echo_request(std::uint16_t identifier, std::uint16_t sequence,
                                             std::span<const std::uint8_t> payload);

enum class IcmpMessageKind { echo_reply, error };

// What a received ICMP message says, as far as matching an echo is concerned.
struct IcmpMessage {
  IcmpMessageKind kind = IcmpMessageKind::echo_reply;
  std::uint8_t type = 0;
  std::uint8_t code = 0;
  // Echo reply: the sender. Error: the router or host that reported it.
  std::optional<Ipv4Address> sender;
  // The echo identifier and sequence: of the reply itself, or of the echo
  // request that an error quotes.
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
  // Error only: the quoted request's addresses.
  Ipv4Address quoted_source;
  Ipv4Address quoted_destination;
  // Echo reply only: the echoed data.
  std::span<const std::uint8_t> data;
};

// Parses a packet as a raw ICMP socket delivers it (IPv4 header first).
// Checks every length and the ICMP checksum; returns nothing for truncated or
// malformed packets, for fragments, and for ICMP types other than echo reply
// and errors that quote an ICMP echo request.
std::optional<IcmpMessage> parse_ip_packet(std::span<const std::uint8_t> packet);

// Parses a message as a datagram ICMP socket delivers it (ICMP header first,
// already checked by the kernel); `sender` is the address it came from.
std::optional<IcmpMessage> parse_icmp_message(std::span<const std::uint8_t> message,
                                              std::optional<Ipv4Address> sender);

// Parses an ICMP error as a datagram socket queues it on its error queue:
// `request` is the socket's own echo request that it is about, as it went out
// (ICMP header first), `type` and `code` the error's, `offender` who sent it
// and `destination` the request's destination. Nothing where the data is not
// an echo request's ICMP header.
std::optional<IcmpMessage> parse_queued_error(std::span<const std::uint8_t> request,
                                              std::uint8_t type, std::uint8_t code,
                                              std::optional<Ipv4Address> offender,
                                              Ipv4Address destination);

// The reply-record status for an ICMP error type and code.
std::uint32_t ip_status_for_icmp_error(std::uint8_t type, std::uint8_t code);

}  // namespace ketrova
