// The received-packet parser over arbitrary bytes, read as a raw socket's
// packet (IPv4 header first), as a datagram socket's message (ICMP header
// first) and as the request that an error on a datagram socket's error
// queue is about. Whatever it accepts must be consistent with the bytes
// it was given, and the echoed data it points at must lie inside them. A
// well-formed echo reply built from the same input must be read back exactly.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "echo/icmp_packet.h"
#include "fuzz_support.h"

namespace {

using ketrova::fuzz::require;

std::uint16_t be16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

bool within(std::span<const std::uint8_t> inner, std::span<const std::uint8_t> outer) {
  if (inner.empty()) return true;
  return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

bool is_error_type(std::uint8_t type) {
  return type == ketrova::ICMP_TYPE_DEST_UNREACHABLE || type == ketrova::ICMP_TYPE_SOURCE_QUENCH ||
         type == ketrova::ICMP_TYPE_TIME_EXCEEDED || type == ketrova::ICMP_TYPE_PARAMETER_PROBLEM;
}

// What holds for a message parsed from `icmp` (its ICMP header first).
void check_message(const ketrova::IcmpMessage& parsed, std::span<const std::uint8_t> icmp) {
  require(icmp.size() >= ketrova::ICMP_HEADER_SIZE);
  require(parsed.type == icmp[0] && parsed.code == icmp[1]);
  require(within(parsed.data, icmp));
  if (parsed.kind == ketrova::IcmpMessageKind::echo_reply) {
    require(parsed.type == ketrova::ICMP_TYPE_ECHO_REPLY);
    require(parsed.identifier == be16(icmp, 4) && parsed.sequence == be16(icmp, 6));
    require(parsed.data.data() == icmp.data() + ketrova::ICMP_HEADER_SIZE &&
            parsed.data.size() == icmp.size() - ketrova::ICMP_HEADER_SIZE);
    return;
  }
  // An error quotes an IPv4 header carrying an ICMP echo request.
  require(is_error_type(parsed.type));
  require(parsed.data.empty());
  const auto quoted = icmp.subspan(ketrova::ICMP_HEADER_SIZE);
  require(quoted.size() >= 20 && (quoted[0] >> 4) == 4 && quoted[9] == 1);
  const std::size_t quoted_header = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
  require(quoted_header >= 20 && quoted.size() >= quoted_header + ketrova::ICMP_HEADER_SIZE);
  require(quoted[quoted_header] == ketrova::ICMP_TYPE_ECHO_REQUEST);
  require(parsed.identifier == be16(quoted, quoted_header + 4));
  require(parsed.sequence == be16(quoted, quoted_header + 6));
  require(std::equal(parsed.quoted_source.octets.begin(), parsed.quoted_source.octets.end(),
                     quoted.begin() + 12));
  require(std::equal(parsed.quoted_destination.octets.begin(),
                     parsed.quoted_destination.octets.end(), quoted.begin() + 16));
}

void check_raw(std::span<const std::uint8_t> packet) {
  const std::optional<ketrova::IcmpMessage> parsed = ketrova::parse_ip_packet(packet);
  if (!parsed) return;
  require(packet.size() >= 20 && (packet[0] >> 4) == 4 && packet[9] == 1);
  const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  const std::size_t total = be16(packet, 2);
  require(header >= 20 && total >= header + ketrova::ICMP_HEADER_SIZE && total <= packet.size());
  require((be16(packet, 6) & 0x1FFF) == 0);
  const auto icmp = packet.subspan(header, total - header);
  require(ketrova::internet_checksum(icmp) == 0);
  require(parsed->sender.has_value() &&
          std::equal(parsed->sender->octets.begin(), parsed->sender->octets.end(),
                     packet.begin() + 12));
  check_message(*parsed, icmp);
}

void check_datagram(std::span<const std::uint8_t> message) {
  const ketrova::Ipv4Address sender{{192, 0, 2, 1}};
  const std::optional<ketrova::IcmpMessage> parsed = ketrova::parse_icmp_message(message, sender);
  if (!parsed) return;
  require(parsed->sender == std::optional<ketrova::Ipv4Address>(sender));
  check_message(*parsed, message);
}

void check_queued(std::span<const std::uint8_t> request) {
  const ketrova::Ipv4Address offender{{203, 0, 113, 1}};
  const ketrova::Ipv4Address destination{{198, 51, 100, 7}};
  const std::optional<ketrova::IcmpMessage> parsed =
      ketrova::parse_queued_error(request, 11, 0, offender, destination);
  const bool echo_request =
      request.size() >= ketrova::ICMP_HEADER_SIZE && request[0] == ketrova::ICMP_TYPE_ECHO_REQUEST;
  require(parsed.has_value() == echo_request);
  if (!parsed) return;
  require(parsed->kind == ketrova::IcmpMessageKind::error);
  require(parsed->type == 11 && parsed->code == 0 && parsed->data.empty());
  require(parsed->identifier == be16(request, 4) && parsed->sequence == be16(request, 6));
  require(parsed->sender == std::optional<ketrova::Ipv4Address>(offender));
  require(parsed->quoted_destination == destination);
}

// An echo reply as the network would deliver it, built from the input: it
// must parse, on both paths, to exactly what was put in.
void check_round_trip(std::span<const std::uint8_t> input) {
  if (input.size() < 5) return;
  const std::uint16_t identifier = be16(input, 0);
  const std::uint16_t sequence = be16(input, 2);
  const std::size_t options = (input[4] & 0x0F) <= 10 ? (input[4] & 0x0F) * 4 : 0;
  const auto payload = input.subspan(5, std::min<std::size_t>(input.size() - 5, 1400));

  std::vector<std::uint8_t> icmp = ketrova::build_echo_request(identifier, sequence, payload);
  icmp[0] = ketrova::ICMP_TYPE_ECHO_REPLY;
  icmp[2] = icmp[3] = 0;
  const std::uint16_t checksum = ketrova::internet_checksum(icmp);
  icmp[2] = static_cast<std::uint8_t>(checksum >> 8);
  icmp[3] = static_cast<std::uint8_t>(checksum);

  const std::size_t header = 20 + options;
  std::vector<std::uint8_t> packet(header, 0);
  packet[0] = static_cast<std::uint8_t>(0x40 | (header / 4));
  const std::size_t total = header + icmp.size();
  packet[2] = static_cast<std::uint8_t>(total >> 8);
  packet[3] = static_cast<std::uint8_t>(total);
  packet[6] = 0x40;  // don't fragment
  packet[8] = 64;
  packet[9] = 1;
  const std::uint8_t from[] = {198, 51, 100, 7};
  std::copy(std::begin(from), std::end(from), packet.begin() + 12);
  packet.insert(packet.end(), icmp.begin(), icmp.end());

  for (const auto& parsed :
       {ketrova::parse_ip_packet(packet), ketrova::parse_icmp_message(icmp, std::nullopt)}) {
    require(parsed.has_value());
    require(parsed->kind == ketrova::IcmpMessageKind::echo_reply);
    require(parsed->identifier == identifier && parsed->sequence == sequence);
    require(std::equal(parsed->data.begin(), parsed->data.end(), payload.begin(), payload.end()));
  }
  require(ketrova::parse_ip_packet(packet)->sender ==
          std::optional<ketrova::Ipv4Address>(ketrova::Ipv4Address{{198, 51, 100, 7}}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that any read past the end is caught.
  const std::vector<std::uint8_t> bytes(data, data + size);
  check_raw(bytes);
  check_datagram(bytes);
  check_queued(bytes);
  check_round_trip(bytes);
  return 0;
}
