#include "echo/icmp_packet.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "echo/echo_status.h"

namespace ketrova {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Ipv4Address PROBE{{192, 0, 2, 10}};
const Ipv4Address RESPONDER{{198, 51, 100, 7}};
const Ipv4Address ROUTER{{203, 0, 113, 1}};

// The Internet checksum computed here independently of the code under test
// (bytes taken in pairs from a zero-padded copy, the carry folded at every
// step), so that a fault in internet_checksum cannot cancel out in a test.
// ChecksumTest pins it to values written out by hand.
std::uint16_t reference_checksum(Bytes bytes) {
  if (bytes.size() % 2 != 0) bytes.push_back(0);
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const unsigned word = static_cast<unsigned>(bytes[i]) * 256 + bytes[i + 1];
    const unsigned total = sum + word;
    sum = static_cast<std::uint16_t>(total > 0xFFFF ? total - 0xFFFF : total);
  }
  return static_cast<std::uint16_t>(0xFFFF - sum);
}

Bytes ip_header(Ipv4Address from, Ipv4Address to, std::size_t payload_size,
                std::uint8_t protocol = 1) {
  Bytes header(20, 0);
  header[0] = 0x45;
  const std::size_t total = 20 + payload_size;
  header[2] = static_cast<std::uint8_t>(total >> 8);
  header[3] = static_cast<std::uint8_t>(total);
  header[8] = 64;
  header[9] = protocol;
  std::copy(from.octets.begin(), from.octets.end(), header.begin() + 12);
  std::copy(to.octets.begin(), to.octets.end(), header.begin() + 16);
  const std::uint16_t checksum = reference_checksum(header);
  header[10] = static_cast<std::uint8_t>(checksum >> 8);
  header[11] = static_cast<std::uint8_t>(checksum);
  return header;
}

Bytes with_checksum(Bytes icmp) {
  icmp[2] = icmp[3] = 0;
  const std::uint16_t checksum = reference_checksum(icmp);
  icmp[2] = static_cast<std::uint8_t>(checksum >> 8);
  icmp[3] = static_cast<std::uint8_t>(checksum);
  return icmp;
}

Bytes ip_packet(Ipv4Address from, Ipv4Address to, const Bytes& icmp) {
  Bytes packet = ip_header(from, to, icmp.size());
  packet.insert(packet.end(), icmp.begin(), icmp.end());
  return packet;
}

const Bytes PAYLOAD = {'p', 'i', 'n', 'g'};

Bytes echo_reply(std::uint16_t id, std::uint16_t seq) {
  Bytes icmp = build_echo_request(id, seq, PAYLOAD);
  icmp[0] = ICMP_TYPE_ECHO_REPLY;
  return with_checksum(icmp);
}

Bytes icmp_error(std::uint8_t type, std::uint8_t code, const Bytes& quoted_request) {
  Bytes icmp = {type, code, 0, 0, 0, 0, 0, 0};
  const Bytes quoted = ip_packet(PROBE, RESPONDER, quoted_request);
  icmp.insert(icmp.end(), quoted.begin(), quoted.begin() + 28);  // header and 8 bytes
  return with_checksum(icmp);
}

TEST(IcmpPacketTest, ParsesAnEchoReply) {
  // The parsed data points into the packet, which must outlive it.
  const Bytes packet = ip_packet(RESPONDER, PROBE, echo_reply(77, 5));
  const auto parsed = parse_ip_packet(packet);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, IcmpMessageKind::echo_reply);
  EXPECT_EQ(parsed->sender, RESPONDER);
  EXPECT_EQ(parsed->identifier, 77);
  EXPECT_EQ(parsed->sequence, 5);
  EXPECT_EQ(Bytes(parsed->data.begin(), parsed->data.end()), PAYLOAD);
}

TEST(IcmpPacketTest, ParsesAnErrorQuotingAnEchoRequest) {
  const Bytes error = icmp_error(3, 1, build_echo_request(77, 6, PAYLOAD));
  const auto parsed = parse_ip_packet(ip_packet(ROUTER, PROBE, error));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, IcmpMessageKind::error);
  EXPECT_EQ(parsed->sender, ROUTER);
  EXPECT_EQ(parsed->identifier, 77);
  EXPECT_EQ(parsed->sequence, 6);
  EXPECT_EQ(parsed->quoted_source, PROBE);
  EXPECT_EQ(parsed->quoted_destination, RESPONDER);
  EXPECT_EQ(ip_status_for_icmp_error(parsed->type, parsed->code), IP_STATUS_DEST_HOST_UNREACHABLE);
}

struct RejectCase {
  std::string name;
  Bytes packet;
};

Bytes mutate(Bytes packet, std::size_t index, std::uint8_t value) {
  packet[index] = value;
  return packet;
}

Bytes truncate(Bytes packet, std::size_t size) {
  packet.resize(size);
  return packet;
}

const Bytes GOOD_REPLY = ip_packet(RESPONDER, PROBE, echo_reply(77, 5));
const Bytes GOOD_ERROR =
    ip_packet(ROUTER, PROBE, icmp_error(11, 0, build_echo_request(77, 6, PAYLOAD)));

// What a datagram socket's error queue holds for an ICMP error: the request
// as it went out, with the error's type, code and sender beside it.
struct QueuedErrorCase {
  const char* name;
  Bytes request;
  std::optional<std::uint16_t> identifier;  // nothing: not parsed
  std::uint16_t sequence;
};

TEST(IcmpPacketTest, ParsesAQueuedError) {
  const QueuedErrorCase cases[] = {
      {"a request with its payload", build_echo_request(0x12FE, 0xAB01, PAYLOAD), 0x12FE, 0xAB01},
      {"the header alone", build_echo_request(0xFF00, 0x00FF, {}), 0xFF00, 0x00FF},
      {"one byte short of a header", truncate(build_echo_request(1, 2, {}), 7), std::nullopt, 0},
      {"empty", {}, std::nullopt, 0},
      {"not an echo request", echo_reply(77, 5), std::nullopt, 0},
      {"an echo request of another code", mutate(build_echo_request(77, 5, PAYLOAD), 1, 1), 77, 5},
  };
  for (const QueuedErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = parse_queued_error(c.request, 3, 1, ROUTER, RESPONDER);
    ASSERT_EQ(parsed.has_value(), c.identifier.has_value());
    if (!parsed) continue;
    EXPECT_EQ(parsed->kind, IcmpMessageKind::error);
    EXPECT_EQ(parsed->type, 3);
    EXPECT_EQ(parsed->code, 1);
    EXPECT_EQ(parsed->sender, ROUTER);
    EXPECT_EQ(parsed->identifier, *c.identifier);
    EXPECT_EQ(parsed->sequence, c.sequence);
    EXPECT_EQ(parsed->quoted_destination, RESPONDER);
    EXPECT_TRUE(parsed->data.empty());
  }
}

class RejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, IgnoresThePacket) {
  EXPECT_FALSE(parse_ip_packet(GetParam().packet));
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RejectTest,
    ::testing::Values(
        RejectCase{"Empty", {}}, RejectCase{"ShortHeader", truncate(GOOD_REPLY, 19)},
        RejectCase{"IPv6Version", mutate(GOOD_REPLY, 0, 0x65)},
        RejectCase{"HeaderLengthTooSmall", mutate(GOOD_REPLY, 0, 0x44)},
        RejectCase{"HeaderLengthPastEnd", mutate(GOOD_REPLY, 0, 0x4F)},
        RejectCase{"NotIcmp", mutate(GOOD_REPLY, 9, 17)},
        RejectCase{"LaterFragment", mutate(GOOD_REPLY, 7, 0x08)},
        RejectCase{"TruncatedBelowTotalLength", truncate(GOOD_REPLY, GOOD_REPLY.size() - 1)},
        RejectCase{"TotalLengthBelowHeader", mutate(GOOD_REPLY, 3, 10)},
        RejectCase{"BadChecksum", mutate(GOOD_REPLY, 30, 'X')},
        RejectCase{"EchoRequest", ip_packet(RESPONDER, PROBE, build_echo_request(77, 5, PAYLOAD))},
        RejectCase{"Redirect",
                   ip_packet(ROUTER, PROBE, with_checksum(mutate(echo_reply(1, 1), 0, 5)))},
        RejectCase{"ErrorQuotingTooLittle",
                   ip_packet(ROUTER, PROBE,
                             with_checksum(truncate(icmp_error(3, 1, build_echo_request(1, 1, {})),
                                                    8 + 27)))},
        RejectCase{"ErrorQuotingUdp",
                   ip_packet(ROUTER, PROBE,
                             with_checksum(mutate(icmp_error(3, 3, build_echo_request(1, 1, {})),
                                                  8 + 9, 17)))},
        RejectCase{"ErrorQuotingAReply",
                   ip_packet(ROUTER, PROBE, icmp_error(3, 1, echo_reply(1, 1)))}),
    [](const auto& info) { return info.param.name; });

TEST(IcmpPacketTest, IgnoresBytesPastTheTotalLength) {
  Bytes padded = GOOD_REPLY;
  padded.insert(padded.end(), {0, 0, 0, 0});
  ASSERT_TRUE(parse_ip_packet(padded));
  EXPECT_EQ(parse_ip_packet(padded)->data.size(), PAYLOAD.size());
  EXPECT_TRUE(parse_ip_packet(GOOD_ERROR));
}

TEST(IcmpPacketTest, MapsErrorsToReplyStatuses) {
  struct Case {
    std::uint8_t type, code;
    std::uint32_t status;
  };
  for (const Case c :
       {Case{3, 0, IP_STATUS_DEST_NET_UNREACHABLE}, Case{3, 1, IP_STATUS_DEST_HOST_UNREACHABLE},
        Case{3, 2, IP_STATUS_DEST_PROT_UNREACHABLE}, Case{3, 3, IP_STATUS_DEST_PORT_UNREACHABLE},
        Case{3, 4, IP_STATUS_PACKET_TOO_BIG}, Case{3, 13, IP_STATUS_DEST_HOST_UNREACHABLE},
        Case{11, 0, IP_STATUS_TTL_EXPIRED_TRANSIT}, Case{11, 1, IP_STATUS_TTL_EXPIRED_REASSEM},
        Case{12, 0, IP_STATUS_PARAM_PROBLEM}, Case{4, 0, IP_STATUS_SOURCE_QUENCH}}) {
    EXPECT_EQ(ip_status_for_icmp_error(c.type, c.code), c.status)
        << int{c.type} << "/" << int{c.code};
  }
}

// Bytes written out as hexadecimal pairs separated by spaces.
Bytes hex(std::string_view text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// Checksums worked out by hand (RFC 1071's own example among them), for the
// code under test and for the tests' reference alike.
TEST(ChecksumTest, MatchesChecksumsWrittenOut) {
  struct Case {
    std::string_view bytes;
    std::uint16_t expected;
  };
  for (const Case c :
       {Case{"", 0xFFFF}, Case{"00 00", 0xFFFF}, Case{"01", 0xFEFF}, Case{"FF", 0x00FF},
        Case{"01 02 03", 0xFBFD}, Case{"AB CD 12 34 56", 0xEBFD}, Case{"FF FF FF FF", 0x0000},
        Case{"FF FF 00 01", 0xFFFE}, Case{"00 01 F2 03 F4 F5 F6 F7", 0x220D}}) {
    EXPECT_EQ(internet_checksum(hex(c.bytes)), c.expected) << c.bytes;
    EXPECT_EQ(reference_checksum(hex(c.bytes)), c.expected) << c.bytes;
  }
}

TEST(IcmpPacketTest, BuildsAnEchoRequestWithAValidChecksum) {
  EXPECT_EQ(build_echo_request(0x1234, 0x0102, PAYLOAD),
            hex("08 00 05 F9 12 34 01 02 70 69 6E 67"));
  // An odd number of bytes: the last one counts as the high half of a word.
  const Bytes odd = {'a', 'b', 'c'};
  EXPECT_EQ(build_echo_request(0xBEEF, 0xFFFF, odd), hex("08 00 74 AD BE EF FF FF 61 62 63"));
}

// Packets as the kernel delivers them to a raw socket, written out byte for
// byte: checksums, header lengths and offsets are all independent of the
// code under test.
struct WrittenPacketCase {
  std::string name;
  std::string_view bytes;
  IcmpMessageKind kind;
  Ipv4Address sender;
  std::uint16_t sequence;
  std::size_t data_size;
};

class WrittenPacketTest : public ::testing::TestWithParam<WrittenPacketCase> {};

TEST_P(WrittenPacketTest, Parses) {
  const WrittenPacketCase& c = GetParam();
  const Bytes packet = hex(c.bytes);
  const auto parsed = parse_ip_packet(packet);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, c.kind);
  EXPECT_EQ(parsed->sender, c.sender);
  EXPECT_EQ(parsed->identifier, 77);
  EXPECT_EQ(parsed->sequence, c.sequence);
  EXPECT_EQ(parsed->data.size(), c.data_size);
  if (c.kind == IcmpMessageKind::echo_reply) {
    EXPECT_EQ(std::string(parsed->data.begin(), parsed->data.end()),
              std::string("pingo").substr(0, c.data_size));
  } else {
    EXPECT_EQ(parsed->quoted_source, PROBE);
    EXPECT_EQ(parsed->quoted_destination, RESPONDER);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, WrittenPacketTest,
    ::testing::Values(
        // Echo reply 77/5 with five bytes of data: an odd-length checksum.
        WrittenPacketCase{"ReplyWithOddLength",
                          "45 00 00 21 1C 46 00 00 40 01 72 51 C6 33 64 07 C0 00 02 0A "
                          "00 00 B1 DC 00 4D 00 05 70 69 6E 67 6F",
                          IcmpMessageKind::echo_reply, RESPONDER, 5, 5},
        // The same reply with "ping" and four bytes of options (NOP NOP NOP EOL).
        WrittenPacketCase{"ReplyWithNopOptions",
                          "46 00 00 24 1C 46 00 00 40 01 6F 4D C6 33 64 07 C0 00 02 0A "
                          "01 01 01 00 "
                          "00 00 20 DD 00 4D 00 05 70 69 6E 67",
                          IcmpMessageKind::echo_reply, RESPONDER, 5, 4},
        // The longest header: a record-route option with nine empty slots.
        WrittenPacketCase{"ReplyWithRecordRoute",
                          "4F 00 00 48 1C 46 00 00 40 01 5D 03 C6 33 64 07 C0 00 02 0A "
                          "07 27 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                          "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                          "00 00 20 DD 00 4D 00 05 70 69 6E 67",
                          IcmpMessageKind::echo_reply, RESPONDER, 5, 4},
        // Host unreachable from the router, with a record-route option of its
        // own, quoting request 77/6.
        WrittenPacketCase{"ErrorWithOptions",
                          "47 00 00 40 1C 46 00 00 40 01 53 64 CB 00 71 01 C0 00 02 0A "
                          "07 07 04 00 00 00 00 00 "
                          "03 01 DB CF 00 00 00 00 "
                          "45 00 00 20 1C 46 00 00 40 01 72 52 C0 00 02 0A C6 33 64 07 "
                          "08 00 18 DC 00 4D 00 06",
                          IcmpMessageKind::error, ROUTER, 6, 0},
        // Time exceeded quoting request 77/6 that carried options itself.
        WrittenPacketCase{"ErrorQuotingOptions",
                          "45 00 00 3C 1C 46 00 00 40 01 60 6F CB 00 71 01 C0 00 02 0A "
                          "0B 00 D3 D0 00 00 00 00 "
                          "46 00 00 24 1C 46 00 00 40 01 6F 4D C0 00 02 0A C6 33 64 07 "
                          "01 01 01 00 "
                          "08 00 18 DC 00 4D 00 06",
                          IcmpMessageKind::error, ROUTER, 6, 0}),
    [](const auto& info) { return info.param.name; });

// With options in the header, every length check has to count them.
TEST(IcmpPacketTest, RejectsPacketsWhoseOptionsLeaveTooLittle) {
  const Bytes reply =
      hex("46 00 00 24 1C 46 00 00 40 01 6F 4D C6 33 64 07 C0 00 02 0A 01 01 01 00 "
          "00 00 20 DD 00 4D 00 05 70 69 6E 67");
  // Cut inside the ICMP header, with the total length claiming only that much.
  Bytes short_reply(reply.begin(), reply.begin() + 24 + 7);
  short_reply[3] = 24 + 7;
  EXPECT_FALSE(parse_ip_packet(short_reply));
  // An error whose quote ends inside the quoted request's ICMP header.
  const Bytes error =
      hex("45 00 00 3B 1C 46 00 00 40 01 60 70 CB 00 71 01 C0 00 02 0A 0B 00 D3 D6 00 00 00 00 "
          "46 00 00 24 1C 46 00 00 40 01 6F 4D C0 00 02 0A C6 33 64 07 01 01 01 00 "
          "08 00 18 DC 00 4D 00");
  EXPECT_FALSE(parse_ip_packet(error));
}

}  // namespace
}  // namespace ketrova
