#include "monitor/launcher.h"

#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace ketrova {
namespace {

Ipv4Address ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return Ipv4Address{{a, b, c, d}};
}

// --- the plan for an instance ------------------------------------------------

constexpr std::string_view BIND_FAILED =
    R"({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":10,)"
    R"j("received":0,"src_ip":"eth1","target_ip":"198.51.100.7","note":"source bind failed (WinError 1231)"})j"
    "\n";

struct PlanCase {
  std::string name;
  std::string instance;
  std::optional<std::string> target;
  std::optional<InterfaceState> host;  // nothing: the host must not be asked
  RunPlan::Action action;
  std::vector<std::string> probe_arguments;  // run_probe
  std::string line;                          // report: the whole line
};

class PlanRunTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanRunTest, Decides) {
  const PlanCase& c = GetParam();
  int asked = 0;
  const RunPlan plan =
      plan_run(c.instance, c.target ? std::optional<std::string_view>(*c.target) : std::nullopt,
               [&](std::string_view name) {
                 ++asked;
                 EXPECT_EQ(name, c.instance);
                 return c.host.value_or(InterfaceState{});
               });
  EXPECT_EQ(asked, c.host ? 1 : 0);
  ASSERT_EQ(plan.action, c.action);
  switch (c.action) {
    case RunPlan::Action::run_probe:
      EXPECT_EQ(plan.probe_arguments, c.probe_arguments);
      break;
    case RunPlan::Action::report:
      EXPECT_EQ(format_report_line(plan.report), c.line);
      // A warning only where the interface is not there at all.
      EXPECT_EQ(plan.message.empty(), c.host->exists);
      break;
    case RunPlan::Action::fail:
      EXPECT_EQ(plan.message, "uplink \"" + c.instance +
                                  "\" is neither an IPv4 address nor a network interface of "
                                  "this host");
      break;
  }
}

const InterfaceState DOWN{true, std::nullopt};
const InterfaceState ABSENT{false, std::nullopt};
using A = RunPlan::Action;

INSTANTIATE_TEST_SUITE_P(
    Instances, PlanRunTest,
    ::testing::Values(
        // An address is the probe's source text as it is, the host unasked.
        PlanCase{"Address",
                 "192.0.2.10",
                 "198.51.100.7",
                 std::nullopt,
                 A::run_probe,
                 {"--src-ip", "192.0.2.10", "--target-ip", "198.51.100.7"},
                 ""},
        PlanCase{"AddressAsWritten",
                 "192.000.002.010",
                 std::nullopt,
                 std::nullopt,
                 A::run_probe,
                 {"--src-ip", "192.000.002.010"},
                 ""},
        PlanCase{"EmptyTargetPassedOn",
                 "192.0.2.10",
                 "",
                 std::nullopt,
                 A::run_probe,
                 {"--src-ip", "192.0.2.10", "--target-ip", ""},
                 ""},
        // An interface: its primary address now, written plainly.
        PlanCase{"Interface",
                 "eth1",
                 "198.51.100.7",
                 InterfaceState{true, ip(203, 0, 113, 5)},
                 A::run_probe,
                 {"--src-ip", "203.0.113.5", "--target-ip", "198.51.100.7"},
                 ""},
        PlanCase{"VlanInterface",
                 "eth0.100",
                 std::nullopt,
                 InterfaceState{true, ip(10, 0, 0, 1)},
                 A::run_probe,
                 {"--src-ip", "10.0.0.1"},
                 ""},
        // Without an address the uplink is down: a series that could not
        // bind, never a probe from elsewhere.
        PlanCase{"InterfaceWithoutAddress",
                 "eth1",
                 "198.51.100.7",
                 DOWN,
                 A::report,
                 {},
                 std::string(BIND_FAILED)},
        PlanCase{"WithoutAddressDefaultTarget",
                 "ppp0",
                 std::nullopt,
                 DOWN,
                 A::report,
                 {},
                 R"({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,)"
                 R"("sent":10,"received":0,"src_ip":"ppp0","target_ip":"1.1.1.1",)"
                 R"j("note":"source bind failed (WinError 1231)"})j"
                 "\n"},
        // A target that is no address is the configuration's fault, whatever
        // the interface holds: the probe's own row, nothing sent.
        PlanCase{"WithoutAddressBadTarget",
                 "eth1",
                 "1.1.1",
                 DOWN,
                 A::report,
                 {},
                 R"({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,)"
                 R"("sent":0,"received":0,"src_ip":"eth1","target_ip":"1.1.1",)"
                 R"("note":"invalid --target-ip"})"
                 "\n"},
        PlanCase{"WithAddressBadTarget",
                 "eth1",
                 "1.1.1",
                 InterfaceState{true, ip(10, 0, 0, 1)},
                 A::run_probe,
                 {"--src-ip", "10.0.0.1", "--target-ip", "1.1.1"},
                 ""},
        // No interface of that name now (a PPP interface gone with its
        // link): the uplink is down as well, never left at its last line.
        PlanCase{"NoSuchInterface",
                 "ppp0",
                 "198.51.100.7",
                 ABSENT,
                 A::report,
                 {},
                 R"({"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,)"
                 R"("sent":10,"received":0,"src_ip":"ppp0","target_ip":"198.51.100.7",)"
                 R"j("note":"source bind failed (WinError 1231)"})j"
                 "\n"},
        // Meant as an address: the probe says it is not one.
        PlanCase{"AlmostAnAddress",
                 "192.0.2",
                 std::nullopt,
                 std::nullopt,
                 A::run_probe,
                 {"--src-ip", "192.0.2"},
                 ""},
        PlanCase{"OctetTooLarge",
                 "192.0.2.300",
                 std::nullopt,
                 std::nullopt,
                 A::run_probe,
                 {"--src-ip", "192.0.2.300"},
                 ""},
        // Neither: no name an interface can have.
        PlanCase{"Empty", "", std::nullopt, std::nullopt, A::fail, {}, ""},
        PlanCase{"TooLong", "abcdefghijklmnop", std::nullopt, std::nullopt, A::fail, {}, ""},
        PlanCase{"Slash", "eth0/1", std::nullopt, std::nullopt, A::fail, {}, ""},
        PlanCase{"Colon", "eth0:1", std::nullopt, std::nullopt, A::fail, {}, ""},
        PlanCase{"Space", "eth 1", std::nullopt, std::nullopt, A::fail, {}, ""},
        PlanCase{"Dot", "..", std::nullopt, std::nullopt, A::fail, {}, ""}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return info.param.name; });

// --- route netlink: the addresses of a dump ------------------------------------

struct Attribute {
  unsigned short type;
  std::vector<unsigned char> value;
};

void append(std::vector<unsigned char>& out, const void* data, std::size_t size,
            std::size_t aligned) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  out.insert(out.end(), bytes, bytes + size);
  out.resize(out.size() + aligned - size);
}

// One netlink message: RTM_NEWADDR with an ifaddrmsg and attributes, or
// another type with nothing after the header.
std::vector<unsigned char> message(unsigned short type, unsigned char family = AF_INET,
                                   unsigned index = 0, unsigned char flags = 0,
                                   const std::vector<Attribute>& attributes = {}) {
  std::vector<unsigned char> body;
  if (type == RTM_NEWADDR) {
    ifaddrmsg header{};
    header.ifa_family = family;
    header.ifa_prefixlen = 24;
    header.ifa_flags = flags;
    header.ifa_index = index;
    append(body, &header, sizeof header, NLMSG_ALIGN(sizeof header));
    for (const Attribute& a : attributes) {
      rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(a.value.size())), a.type};
      append(body, &attribute, sizeof attribute, RTA_LENGTH(0));
      append(body, a.value.data(), a.value.size(), RTA_ALIGN(a.value.size()));
    }
  } else if (type == NLMSG_ERROR) {
    nlmsgerr error{};
    error.error = -1;
    append(body, &error, sizeof error, NLMSG_ALIGN(sizeof error));
  }
  nlmsghdr header{};
  header.nlmsg_len = static_cast<unsigned>(NLMSG_HDRLEN + body.size());
  header.nlmsg_type = type;
  std::vector<unsigned char> out;
  append(out, &header, sizeof header, NLMSG_HDRLEN);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Attribute address_attribute(unsigned short type, Ipv4Address address) {
  return {type, std::vector<unsigned char>(address.octets.begin(), address.octets.end())};
}

std::vector<unsigned char> join(const std::vector<std::vector<unsigned char>>& parts) {
  std::vector<unsigned char> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct DumpCase {
  std::string name;
  std::vector<unsigned char> bytes;
  bool parsed;
  bool done;
  std::optional<Ipv4Address> primary_of_2;  // the primary address of interface 2
};

class AddressDumpTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(AddressDumpTest, ReadsPrimary) {
  const DumpCase& c = GetParam();
  const std::optional<AddressDump> dump = parse_address_dump(c.bytes.data(), c.bytes.size());
  ASSERT_EQ(dump.has_value(), c.parsed);
  if (!dump) return;
  EXPECT_EQ(dump->done, c.done);
  EXPECT_EQ(primary_address(dump->addresses, 2), c.primary_of_2);
}

const Attribute LOCAL_1 = address_attribute(IFA_LOCAL, Ipv4Address{{10, 0, 0, 1}});
const Attribute ADDRESS_1 = address_attribute(IFA_ADDRESS, Ipv4Address{{10, 0, 0, 1}});
const Attribute LOCAL_2 = address_attribute(IFA_LOCAL, Ipv4Address{{10, 0, 0, 2}});
const Attribute ADDRESS_2 = address_attribute(IFA_ADDRESS, Ipv4Address{{10, 0, 0, 2}});
const Attribute PEER = address_attribute(IFA_ADDRESS, Ipv4Address{{192, 0, 2, 254}});
const Attribute LABEL{IFA_LABEL, {'e', 't', 'h', '1', 0}};

INSTANTIATE_TEST_SUITE_P(
    Dumps, AddressDumpTest,
    ::testing::Values(
        DumpCase{
            "FirstOfTheInterface",
            join({message(RTM_NEWADDR, AF_INET, 1, 0, {ADDRESS_2, LOCAL_2}),
                  message(RTM_NEWADDR, AF_INET, 2, 0, {ADDRESS_1, LOCAL_1, LABEL}),
                  message(RTM_NEWADDR, AF_INET, 2, 0, {ADDRESS_2, LOCAL_2}), message(NLMSG_DONE)}),
            true, true, ip(10, 0, 0, 1)},
        DumpCase{"SecondarySkipped",
                 join({message(RTM_NEWADDR, AF_INET, 2, IFA_F_SECONDARY, {ADDRESS_1, LOCAL_1}),
                       message(RTM_NEWADDR, AF_INET, 2, 0, {ADDRESS_2, LOCAL_2})}),
                 true, false, ip(10, 0, 0, 2)},
        DumpCase{"OnlySecondary",
                 message(RTM_NEWADDR, AF_INET, 2, IFA_F_SECONDARY, {ADDRESS_1, LOCAL_1}), true,
                 false, std::nullopt},
        // A point-to-point link (PPPoE): IFA_ADDRESS is the peer.
        DumpCase{"PeerIsNotOurs", message(RTM_NEWADDR, AF_INET, 2, 0, {PEER, LOCAL_1}), true, false,
                 ip(10, 0, 0, 1)},
        DumpCase{"AddressWithoutLocal", message(RTM_NEWADDR, AF_INET, 2, 0, {ADDRESS_2}), true,
                 false, ip(10, 0, 0, 2)},
        DumpCase{"OtherFamilySkipped",
                 join({message(RTM_NEWADDR, AF_INET6, 2, 0, {}), message(NLMSG_DONE)}), true, true,
                 std::nullopt},
        DumpCase{"OtherInterfaceOnly", message(RTM_NEWADDR, AF_INET, 3, 0, {LOCAL_1}), true, false,
                 std::nullopt},
        DumpCase{"DoneEndsIt",
                 join({message(NLMSG_DONE), message(RTM_NEWADDR, AF_INET, 2, 0, {LOCAL_1})}), true,
                 true, std::nullopt},
        DumpCase{"Error", message(NLMSG_ERROR), false, false, std::nullopt},
        DumpCase{"Empty", {}, true, false, std::nullopt}),
    [](const ::testing::TestParamInfo<DumpCase>& info) { return info.param.name; });

TEST(AddressDump, MalformedYieldsNothing) {
  const std::vector<unsigned char> good = message(RTM_NEWADDR, AF_INET, 2, 0, {LOCAL_1});
  // Cut anywhere inside, or a length that runs past the end.
  for (std::size_t size = 1; size < good.size(); ++size) {
    EXPECT_FALSE(parse_address_dump(good.data(), size)) << "cut at " << size;
  }
  std::vector<unsigned char> long_attribute = good;
  const std::size_t attribute_at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg));
  long_attribute[attribute_at] = 0xff;  // rta_len
  EXPECT_FALSE(parse_address_dump(long_attribute.data(), long_attribute.size()));
  std::vector<unsigned char> short_header = good;
  std::memset(short_header.data(), 0, 4);  // nlmsg_len 0
  EXPECT_FALSE(parse_address_dump(short_header.data(), short_header.size()));
}

// --- the command line and the files --------------------------------------------

struct ArgumentsCase {
  std::vector<std::string> arguments;
  std::optional<LauncherOptions> expected;
  std::string error;
};

class LauncherArgumentsTest : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(LauncherArgumentsTest, Parses) {
  const ArgumentsCase& c = GetParam();
  std::string error;
  const std::optional<LauncherOptions> options = parse_launcher_arguments(c.arguments, error);
  ASSERT_EQ(options.has_value(), c.expected.has_value()) << error;
  EXPECT_EQ(error, c.error);
  if (!options) return;
  EXPECT_EQ(options->mode, c.expected->mode);
  EXPECT_EQ(options->instance, c.expected->instance);
  EXPECT_EQ(options->last_report, c.expected->last_report);
  EXPECT_EQ(options->metrics, c.expected->metrics);
  EXPECT_EQ(options->source, c.expected->source);
  EXPECT_EQ(options->destination, c.expected->destination);
}

using M = LauncherOptions::Mode;
const std::string USAGE =
    "usage: uplink-probe [--last-report FILE] [--metrics FILE] ADDRESS|INTERFACE";
const std::string PUBLISH_USAGE = "usage: uplink-probe --publish SOURCE DESTINATION";

INSTANTIATE_TEST_SUITE_P(
    Arguments, LauncherArgumentsTest,
    ::testing::Values(
        ArgumentsCase{{"eth1"}, LauncherOptions{M::probe, "eth1", "", "", "", ""}, ""},
        ArgumentsCase{{"--last-report", "/run/k/eth1.json", "eth1"},
                      LauncherOptions{M::probe, "eth1", "/run/k/eth1.json", "", "", ""},
                      ""},
        ArgumentsCase{{"10.0.0.1", "--metrics", "m.prom"},
                      LauncherOptions{M::probe, "10.0.0.1", "", "m.prom", "", ""},
                      ""},
        ArgumentsCase{{"--", "-x"}, LauncherOptions{M::probe, "-x", "", "", "", ""}, ""},
        ArgumentsCase{
            {"--publish", "a", "b"}, LauncherOptions{M::publish, "", "", "", "a", "b"}, ""},
        ArgumentsCase{{}, std::nullopt, USAGE},
        ArgumentsCase{{"eth1", "eth2"}, std::nullopt, USAGE},
        ArgumentsCase{{"--last-report"}, std::nullopt, "--last-report needs a file name"},
        ArgumentsCase{{"--metrics", "", "eth1"}, std::nullopt, "--metrics needs a file name"},
        ArgumentsCase{{"--src-ip", "eth1"}, std::nullopt, "unknown option --src-ip"},
        ArgumentsCase{{"--publish", "a"}, std::nullopt, PUBLISH_USAGE},
        ArgumentsCase{{"--publish", "--metrics", "m", "a", "b"}, std::nullopt, PUBLISH_USAGE}));

TEST(Files, TemporaryBesideAndErrorLine) {
  EXPECT_EQ(temporary_path_beside("/run/ketrova-probe/eth1.json"),
            "/run/ketrova-probe/.eth1.json.tmp");
  EXPECT_EQ(temporary_path_beside("m.prom"), ".m.prom.tmp");
  EXPECT_EQ(format_launcher_error("no", true), "<3>uplink-probe: no\n");
  EXPECT_EQ(format_launcher_error("no", false), "uplink-probe: no\n");
}

}  // namespace
}  // namespace ketrova
