#include "echo/icmp_packet.h"

#include <algorithm>

#include "echo/echo_status.h"

namespace ketrova {
namespace {

constexpr std::size_t MIN_IP_HEADER = 20;
constexpr std::uint8_t PROTOCOL_ICMP = 1;

std::uint16_t read_be16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

Ipv4Address read_address(std::span<const std::uint8_t> bytes, std::size_t offset) {
  Ipv4Address address;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), 4, address.octets.begin());
  return address;
}

// The IPv4 header length of `packet`, or 0 when the header is not a complete,
// unfragmented IPv4 header carrying ICMP.
std::size_t icmp_ip_header_length(std::span<const std::uint8_t> packet) {
  if (packet.size() < MIN_IP_HEADER) return 0;
  if ((packet[0] >> 4) != 4) return 0;
  const std::size_t header_length = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (header_length < MIN_IP_HEADER || header_length > packet.size()) return 0;
  if (packet[9] != PROTOCOL_ICMP) return 0;
  const std::uint16_t fragment = read_be16(packet, 6);
  if ((fragment & 0x1FFF) != 0) return 0;  // not the first fragment: no ICMP header here
  return header_length;
}

}  // namespace

std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::vector<std::uint8_t> build_echo_request(std::uint16_t identifier, std::uint16_t sequence,
                                             std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> packet(ICMP_HEADER_SIZE + payload.size());
  packet[0] = ICMP_TYPE_ECHO_REQUEST;
  packet[4] = static_cast<std::uint8_t>(identifier >> 8);
  packet[5] = static_cast<std::uint8_t>(identifier);
  packet[6] = static_cast<std::uint8_t>(sequence >> 8);
  packet[7] = static_cast<std::uint8_t>(sequence);
  std::copy(payload.begin(), payload.end(), packet.begin() + ICMP_HEADER_SIZE);
  const std::uint16_t checksum = internet_checksum(packet);
  packet[2] = static_cast<std::uint8_t>(checksum >> 8);
  packet[3] = static_cast<std::uint8_t>(checksum);
  return packet;
}

std::optional<IcmpMessage> parse_ip_packet(std::span<const std::uint8_t> packet) {
  const std::size_t header_length = icmp_ip_header_length(packet);
  if (header_length == 0) return std::nullopt;
  const std::size_t total_length = read_be16(packet, 2);
  // A packet shorter than its header claims is truncated; bytes past the
  // claimed length are not part of it.
  if (total_length < header_length || total_length > packet.size()) return std::nullopt;
  const auto message = packet.subspan(header_length, total_length - header_length);
  if (message.size() < ICMP_HEADER_SIZE || internet_checksum(message) != 0) return std::nullopt;
  return parse_icmp_message(message, read_address(packet, 12));
}

std::optional<IcmpMessage> parse_icmp_message(std::span<const std::uint8_t> message,
                                              std::optional<Ipv4Address> sender) {
  if (message.size() < ICMP_HEADER_SIZE) return std::nullopt;
  IcmpMessage parsed;
  parsed.type = message[0];
  parsed.code = message[1];
  parsed.sender = sender;
  switch (parsed.type) {
    case ICMP_TYPE_ECHO_REPLY:
      parsed.kind = IcmpMessageKind::echo_reply;
      parsed.identifier = read_be16(message, 4);
      parsed.sequence = read_be16(message, 6);
      parsed.data = message.subspan(ICMP_HEADER_SIZE);
      return parsed;
    case ICMP_TYPE_DEST_UNREACHABLE:
    case ICMP_TYPE_SOURCE_QUENCH:
    case ICMP_TYPE_TIME_EXCEEDED:
    case ICMP_TYPE_PARAMETER_PROBLEM:
      break;
    default:
      return std::nullopt;
  }
  // An error quotes the offending packet: its IPv4 header and at least the
  // first 8 bytes after it, here the echo request's ICMP header.
  const auto quoted = message.subspan(ICMP_HEADER_SIZE);
  const std::size_t quoted_header = icmp_ip_header_length(quoted);
  if (quoted_header == 0 || quoted.size() < quoted_header + ICMP_HEADER_SIZE) return std::nullopt;
  const auto quoted_icmp = quoted.subspan(quoted_header);
  if (quoted_icmp[0] != ICMP_TYPE_ECHO_REQUEST) return std::nullopt;
  parsed.kind = IcmpMessageKind::error;
  parsed.identifier = read_be16(quoted_icmp, 4);
  parsed.sequence = read_be16(quoted_icmp, 6);
  parsed.quoted_source = read_address(quoted, 12);
  parsed.quoted_destination = read_address(quoted, 16);
  return parsed;
}

std::optional<IcmpMessage> parse_queued_error(std::span<const std::uint8_t> request,
                                              std::uint8_t type, std::uint8_t code,
                                              std::optional<Ipv4Address> offender,
                                              Ipv4Address destination) {
  if (request.size() < ICMP_HEADER_SIZE || request[0] != ICMP_TYPE_ECHO_REQUEST) {
    return std::nullopt;
  }
  IcmpMessage parsed;
  parsed.kind = IcmpMessageKind::error;
  parsed.type = type;
  parsed.code = code;
  parsed.sender = offender;
  parsed.identifier = read_be16(request, 4);
  parsed.sequence = read_be16(request, 6);
  parsed.quoted_destination = destination;
  return parsed;
}

std::uint32_t ip_status_for_icmp_error(std::uint8_t type, std::uint8_t code) {
  switch (type) {
    case ICMP_TYPE_DEST_UNREACHABLE:
      switch (code) {
        case 0:   // network unreachable
        case 6:   // network unknown
        case 9:   // network administratively prohibited
        case 11:  // network unreachable for the type of service
          return IP_STATUS_DEST_NET_UNREACHABLE;
        case 2:
          return IP_STATUS_DEST_PROT_UNREACHABLE;
        case 3:
          return IP_STATUS_DEST_PORT_UNREACHABLE;
        case 4:
          return IP_STATUS_PACKET_TOO_BIG;
        case 5:
          return IP_STATUS_BAD_ROUTE;
        default:  // host unreachable, unknown, prohibited, and the rest
          return IP_STATUS_DEST_HOST_UNREACHABLE;
      }
    case ICMP_TYPE_TIME_EXCEEDED:
      return code == 1 ? IP_STATUS_TTL_EXPIRED_REASSEM : IP_STATUS_TTL_EXPIRED_TRANSIT;
    case ICMP_TYPE_PARAMETER_PROBLEM:
      return IP_STATUS_PARAM_PROBLEM;
    case ICMP_TYPE_SOURCE_QUENCH:
      return IP_STATUS_SOURCE_QUENCH;
    default:
      return IP_STATUS_GENERAL_FAILURE;
  }
}

}  // namespace ketrova
