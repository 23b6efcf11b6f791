#include "os/icmp_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/icmp.h"

namespace ketrova {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Ipv4Address kProbe{{192, 0, 2, 10}};
const Ipv4Address kResponder{{198, 51, 100, 7}};
const Ipv4Address kRouter{{203, 0, 113, 1}};

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
  const std::uint16_t checksum = internet_checksum(header);
  header[10] = static_cast<std::uint8_t>(checksum >> 8);
  header[11] = static_cast<std::uint8_t>(checksum);
  return header;
}

Bytes with_checksum(Bytes icmp) {
  icmp[2] = icmp[3] = 0;
  const std::uint16_t checksum = internet_checksum(icmp);
  icmp[2] = static_cast<std::uint8_t>(checksum >> 8);
  icmp[3] = static_cast<std::uint8_t>(checksum);
  return icmp;
}

Bytes ip_packet(Ipv4Address from, Ipv4Address to, const Bytes& icmp) {
  Bytes packet = ip_header(from, to, icmp.size());
  packet.insert(packet.end(), icmp.begin(), icmp.end());
  return packet;
}

const Bytes kPayload = {'p', 'i', 'n', 'g'};

Bytes echo_reply(std::uint16_t id, std::uint16_t seq) {
  Bytes icmp = build_echo_request(id, seq, kPayload);
  icmp[0] = ICMP_TYPE_ECHO_REPLY;
  return with_checksum(icmp);
}

Bytes icmp_error(std::uint8_t type, std::uint8_t code, const Bytes& quoted_request) {
  Bytes icmp = {type, code, 0, 0, 0, 0, 0, 0};
  const Bytes quoted = ip_packet(kProbe, kResponder, quoted_request);
  icmp.insert(icmp.end(), quoted.begin(), quoted.begin() + 28);  // header and 8 bytes
  return with_checksum(icmp);
}

TEST(IcmpPacketTest, BuildsAnEchoRequestWithAValidChecksum) {
  const Bytes request = build_echo_request(0x1234, 0x0102, kPayload);
  ASSERT_EQ(request.size(), 12u);
  EXPECT_EQ(request[0], 8);
  EXPECT_EQ(request[4], 0x12);
  EXPECT_EQ(request[7], 0x02);
  EXPECT_EQ(internet_checksum(request), 0);
}

TEST(IcmpPacketTest, ParsesAnEchoReply) {
  // The parsed data points into the packet, which must outlive it.
  const Bytes packet = ip_packet(kResponder, kProbe, echo_reply(77, 5));
  const auto parsed = parse_ip_packet(packet);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, IcmpMessageKind::echo_reply);
  EXPECT_EQ(parsed->sender, kResponder);
  EXPECT_EQ(parsed->identifier, 77);
  EXPECT_EQ(parsed->sequence, 5);
  EXPECT_EQ(Bytes(parsed->data.begin(), parsed->data.end()), kPayload);
}

TEST(IcmpPacketTest, ParsesAnErrorQuotingAnEchoRequest) {
  const Bytes error = icmp_error(3, 1, build_echo_request(77, 6, kPayload));
  const auto parsed = parse_ip_packet(ip_packet(kRouter, kProbe, error));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, IcmpMessageKind::error);
  EXPECT_EQ(parsed->sender, kRouter);
  EXPECT_EQ(parsed->identifier, 77);
  EXPECT_EQ(parsed->sequence, 6);
  EXPECT_EQ(parsed->quoted_source, kProbe);
  EXPECT_EQ(parsed->quoted_destination, kResponder);
  EXPECT_EQ(ip_status_for_icmp_error(parsed->type, parsed->code), ip_status::dest_host_unreachable);
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

const Bytes kGoodReply = ip_packet(kResponder, kProbe, echo_reply(77, 5));
const Bytes kGoodError =
    ip_packet(kRouter, kProbe, icmp_error(11, 0, build_echo_request(77, 6, kPayload)));

class RejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, IgnoresThePacket) {
  EXPECT_FALSE(parse_ip_packet(GetParam().packet));
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RejectTest,
    ::testing::Values(
        RejectCase{"Empty", {}}, RejectCase{"ShortHeader", truncate(kGoodReply, 19)},
        RejectCase{"IPv6Version", mutate(kGoodReply, 0, 0x65)},
        RejectCase{"HeaderLengthTooSmall", mutate(kGoodReply, 0, 0x44)},
        RejectCase{"HeaderLengthPastEnd", mutate(kGoodReply, 0, 0x4F)},
        RejectCase{"NotIcmp", mutate(kGoodReply, 9, 17)},
        RejectCase{"LaterFragment", mutate(kGoodReply, 7, 0x08)},
        RejectCase{"TruncatedBelowTotalLength", truncate(kGoodReply, kGoodReply.size() - 1)},
        RejectCase{"TotalLengthBelowHeader", mutate(kGoodReply, 3, 10)},
        RejectCase{"BadChecksum", mutate(kGoodReply, 30, 'X')},
        RejectCase{"EchoRequest",
                   ip_packet(kResponder, kProbe, build_echo_request(77, 5, kPayload))},
        RejectCase{"Redirect",
                   ip_packet(kRouter, kProbe, with_checksum(mutate(echo_reply(1, 1), 0, 5)))},
        RejectCase{"ErrorQuotingTooLittle",
                   ip_packet(kRouter, kProbe,
                             with_checksum(truncate(icmp_error(3, 1, build_echo_request(1, 1, {})),
                                                    8 + 27)))},
        RejectCase{"ErrorQuotingUdp",
                   ip_packet(kRouter, kProbe,
                             with_checksum(mutate(icmp_error(3, 3, build_echo_request(1, 1, {})),
                                                  8 + 9, 17)))},
        RejectCase{"ErrorQuotingAReply",
                   ip_packet(kRouter, kProbe, icmp_error(3, 1, echo_reply(1, 1)))}),
    [](const auto& info) { return info.param.name; });

TEST(IcmpPacketTest, IgnoresBytesPastTheTotalLength) {
  Bytes padded = kGoodReply;
  padded.insert(padded.end(), {0, 0, 0, 0});
  ASSERT_TRUE(parse_ip_packet(padded));
  EXPECT_EQ(parse_ip_packet(padded)->data.size(), kPayload.size());
  EXPECT_TRUE(parse_ip_packet(kGoodError));
}

TEST(IcmpPacketTest, MapsErrorsToReplyStatuses) {
  struct Case {
    std::uint8_t type, code;
    std::uint32_t status;
  };
  for (const Case c :
       {Case{3, 0, ip_status::dest_net_unreachable}, Case{3, 1, ip_status::dest_host_unreachable},
        Case{3, 2, ip_status::dest_prot_unreachable}, Case{3, 3, ip_status::dest_port_unreachable},
        Case{3, 4, ip_status::packet_too_big}, Case{3, 13, ip_status::dest_host_unreachable},
        Case{11, 0, ip_status::ttl_expired_transit}, Case{11, 1, ip_status::ttl_expired_reassem},
        Case{12, 0, ip_status::param_problem}, Case{4, 0, ip_status::source_quench}}) {
    EXPECT_EQ(ip_status_for_icmp_error(c.type, c.code), c.status)
        << int{c.type} << "/" << int{c.code};
  }
}

}  // namespace
}  // namespace ketrova
