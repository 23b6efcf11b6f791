// The uplink choice and the per-request decision over a host made up in
// the test: a route netlink channel that answers the questions as the
// kernel's lookups would on that host, and queues news of changes.
#include "os/linux/uplink.h"

#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ketrova {
namespace {

constexpr Ipv4Address UP1_IP{{203, 0, 113, 10}};
constexpr Ipv4Address UP2_IP{{198, 18, 0, 10}};
constexpr Ipv4Address TARGET{{198, 51, 100, 7}};
constexpr Ipv4Address LOOPBACK_SRC{{198, 18, 255, 1}}, DUMMY_SRC{{198, 18, 255, 2}};
constexpr unsigned LO = 1, UP1 = 2, UP2 = 3, DUMMY = 4, UP2_AGAIN = 7;
constexpr std::uint32_t MAIN = RT_TABLE_MAIN, SOURCE_TABLE = 300;
constexpr std::uint32_t PORT = 4242;
constexpr unsigned LOWER_UP = 1u << 16;  // IFF_LOWER_UP, as <linux/if.h> has it

struct Hop {
  unsigned index;
  unsigned flags = 0;
};

// A routing entry of the made-up host: in `table`, looked up for requests
// from `from` alone where a rule sends that source there (for every source
// where unset); its next hops, or a next-hop object.
struct Route {
  std::uint32_t table = MAIN;
  std::optional<Ipv4Address> from;
  std::vector<Hop> hops;
  std::uint32_t object = 0;
  bool multipath = false;  // answered as RTA_MULTIPATH even with one hop
};

struct Link {
  std::string name;
  unsigned flags = IFF_UP | LOWER_UP;
  std::string kind;
  std::size_t padding = 0;  // extra bytes in its answer (alternative names)
};

struct NextHopObject {
  std::vector<Hop> hops;               // a single next hop (one entry)
  std::vector<std::uint32_t> members;  // or a group
};

// What the made-up host does with a kind of question.
enum class Reply { answer, refuse, silent };

class FakeHost final : public RouteNetlinkChannel {
 public:
  std::map<std::array<std::uint8_t, 4>, unsigned> addresses;  // address -> interface
  std::map<unsigned, Link> links;
  std::vector<Route> routes;
  std::map<std::uint32_t, NextHopObject> objects;
  Reply local_reply = Reply::answer;
  Reply link_reply = Reply::answer;
  bool hears_objects = true;
  // Called after each question is answered (news queued behind the answer).
  std::function<void()> after_answer;

  int questions = 0;
  std::map<int, int> questions_of;   // by message type
  std::vector<std::size_t> buffers;  // the buffer offered to each read

  // News of a change made by another process, whose numbers may well be the
  // ones of the next question.
  void news(int type = RTM_NEWLINK) {
    std::vector<std::uint8_t> message =
        header(static_cast<std::uint16_t>(type), last_sequence_ + 1, PORT + 1);
    message.resize(NLMSG_LENGTH(sizeof(ifinfomsg)));
    set_length(message);
    queue_.push_back(message);
  }
  void lose_news() { queue_.push_back({}); }  // read as ENOBUFS

  bool send(std::span<const std::uint8_t> question) override {
    nlmsghdr h{};
    std::memcpy(&h, question.data(), sizeof h);
    ++questions;
    last_sequence_ = h.nlmsg_seq;
    ++questions_of[h.nlmsg_type];
    if (h.nlmsg_type == RTM_GETROUTE) answer_route(question, h.nlmsg_seq);
    if (h.nlmsg_type == RTM_GETLINK) answer_link(question, h.nlmsg_seq);
    if (h.nlmsg_type == RTM_GETNEXTHOP) answer_nexthop(question, h.nlmsg_seq);
    if (after_answer) after_answer();
    return true;
  }

  long receive(std::span<std::uint8_t> buffer) override {
    buffers.push_back(buffer.size());
    if (queue_.empty()) return -EAGAIN;
    std::vector<std::uint8_t> message = std::move(queue_.front());
    queue_.pop_front();
    if (message.empty()) return -ENOBUFS;
    std::memcpy(buffer.data(), message.data(), std::min(buffer.size(), message.size()));
    return static_cast<long>(message.size());
  }

  std::uint32_t port() const override { return PORT; }
  bool hears_next_hop_objects() const override { return hears_objects; }

 private:
  static std::vector<std::uint8_t> header(std::uint16_t type, std::uint32_t seq,
                                          std::uint32_t pid) {
    nlmsghdr h{};
    h.nlmsg_type = type;
    h.nlmsg_seq = seq;
    h.nlmsg_pid = pid;
    std::vector<std::uint8_t> message(sizeof h);
    std::memcpy(message.data(), &h, sizeof h);
    return message;
  }
  template <typename Body>
  static std::vector<std::uint8_t> start(std::uint16_t type, std::uint32_t seq, const Body& body) {
    std::vector<std::uint8_t> message = header(type, seq, PORT);
    message.resize(NLMSG_LENGTH(0));
    const std::size_t at = message.size();
    message.resize(NLMSG_ALIGN(at + sizeof body));
    std::memcpy(message.data() + at, &body, sizeof body);
    return message;
  }
  static void attribute(std::vector<std::uint8_t>& message, std::uint16_t type, const void* data,
                        std::size_t size) {
    const rtattr a{static_cast<std::uint16_t>(RTA_LENGTH(size)), type};
    const std::size_t at = message.size();
    message.resize(at + RTA_ALIGN(a.rta_len));
    std::memcpy(message.data() + at, &a, sizeof a);
    if (size != 0) std::memcpy(message.data() + at + RTA_LENGTH(0), data, size);
  }
  static void u32(std::vector<std::uint8_t>& message, std::uint16_t type, std::uint32_t value) {
    attribute(message, type, &value, sizeof value);
  }
  static void set_length(std::vector<std::uint8_t>& message) {
    const auto length = static_cast<std::uint32_t>(message.size());
    std::memcpy(message.data(), &length, sizeof length);
  }
  void finish(std::vector<std::uint8_t> message) {
    set_length(message);
    queue_.push_back(std::move(message));
  }
  void error(std::uint32_t seq, int code) {
    std::vector<std::uint8_t> message = header(NLMSG_ERROR, seq, PORT);
    nlmsgerr e{};
    e.error = code;
    message.resize(NLMSG_LENGTH(sizeof e));
    std::memcpy(message.data() + NLMSG_LENGTH(0), &e, sizeof e);
    finish(message);
  }

  // The attributes of a question, by type.
  template <typename Body>
  static std::map<int, std::uint32_t> attributes(std::span<const std::uint8_t> question) {
    std::map<int, std::uint32_t> found;
    std::size_t at = NLMSG_ALIGN(NLMSG_LENGTH(sizeof(Body)));
    while (at + sizeof(rtattr) <= question.size()) {
      rtattr a{};
      std::memcpy(&a, question.data() + at, sizeof a);
      if (a.rta_len < sizeof a) break;
      std::uint32_t value = 0;
      std::memcpy(&value, question.data() + at + RTA_LENGTH(0),
                  std::min<std::size_t>(sizeof value, a.rta_len - RTA_LENGTH(0)));
      found[a.rta_type] = value;
      at += RTA_ALIGN(a.rta_len);
    }
    return found;
  }

  std::vector<Hop> hops_of(const Route& route) const {
    if (route.object == 0) return route.hops;
    const auto object = objects.find(route.object);
    if (object == objects.end()) return {};
    std::vector<Hop> hops = object->second.hops;
    for (const std::uint32_t member : object->second.members) {
      const std::vector<Hop>& more = objects.at(member).hops;
      hops.insert(hops.end(), more.begin(), more.end());
    }
    return hops;
  }

  void answer_route(std::span<const std::uint8_t> question, std::uint32_t seq) {
    std::map<int, std::uint32_t> asked = attributes<rtmsg>(question);
    const Ipv4Address destination = from_network_order(asked[RTA_DST]);
    const std::optional<Ipv4Address> source =
        asked.count(RTA_SRC) ? std::optional(from_network_order(asked[RTA_SRC])) : std::nullopt;
    const unsigned oif = asked.count(RTA_OIF) ? asked[RTA_OIF] : 0;
    rtmsg body{};
    body.rtm_family = AF_INET;
    if (const auto local = addresses.find(destination.octets); local != addresses.end()) {
      if (local_reply == Reply::silent) return;
      if (local_reply == Reply::refuse) return error(seq, -EPERM);
      body.rtm_type = RTN_LOCAL;
      body.rtm_table = RT_TABLE_LOCAL;
      std::vector<std::uint8_t> message = start(RTM_NEWROUTE, seq, body);
      u32(message, RTA_TABLE, RT_TABLE_LOCAL);
      u32(message, RTA_OIF, local->second);
      return finish(message);
    }
    // The rules: the source's table first where one is for it, then main.
    for (const bool by_source : {true, false}) {
      for (const Route& route : routes) {
        if (by_source != route.from.has_value()) continue;
        if (by_source && route.from != source) continue;
        const std::vector<Hop> hops = hops_of(route);
        bool usable = oif == 0;
        for (const Hop& hop : hops) usable |= hop.index == oif && (hop.flags & RTNH_F_DEAD) == 0;
        if (!usable) continue;
        body.rtm_type = RTN_UNICAST;
        body.rtm_table =
            static_cast<unsigned char>(route.table < 256 ? route.table : RT_TABLE_COMPAT);
        if (route.object == 0 && hops.size() == 1 && !route.multipath) {
          body.rtm_flags = hops[0].flags;
        }
        std::vector<std::uint8_t> message = start(RTM_NEWROUTE, seq, body);
        u32(message, RTA_TABLE, route.table);
        if (route.object != 0) {
          u32(message, RTA_NH_ID, route.object);
        } else if (hops.size() == 1 && !route.multipath) {
          u32(message, RTA_OIF, hops[0].index);
        } else {
          std::vector<std::uint8_t> list;
          for (const Hop& hop : hops) {
            rtnexthop n{};
            n.rtnh_len = sizeof n;
            n.rtnh_flags = static_cast<unsigned char>(hop.flags);
            n.rtnh_ifindex = static_cast<int>(hop.index);
            const std::size_t at = list.size();
            list.resize(at + RTNH_ALIGN(sizeof n));
            std::memcpy(list.data() + at, &n, sizeof n);
          }
          attribute(message, RTA_MULTIPATH, list.data(), list.size());
        }
        return finish(message);
      }
    }
    error(seq, -ENETUNREACH);
  }

  void answer_link(std::span<const std::uint8_t> question, std::uint32_t seq) {
    if (link_reply == Reply::silent) return;
    if (link_reply == Reply::refuse) return error(seq, -EPERM);
    ifinfomsg asked{};
    std::memcpy(&asked, question.data() + NLMSG_LENGTH(0), sizeof asked);
    const auto link = links.find(static_cast<unsigned>(asked.ifi_index));
    if (link == links.end()) return error(seq, -ENODEV);
    ifinfomsg body{};
    body.ifi_index = asked.ifi_index;
    body.ifi_flags = link->second.flags;
    std::vector<std::uint8_t> message = start(RTM_NEWLINK, seq, body);
    attribute(message, IFLA_IFNAME, link->second.name.c_str(), link->second.name.size() + 1);
    if (!link->second.kind.empty()) {
      std::vector<std::uint8_t> info;
      attribute(info, IFLA_INFO_KIND, link->second.kind.c_str(), link->second.kind.size() + 1);
      attribute(message, IFLA_LINKINFO, info.data(), info.size());
    }
    if (link->second.padding != 0) {
      // In pieces, as an attribute's length is 16 bits.
      for (std::size_t left = link->second.padding; left > 0;) {
        const std::size_t piece = std::min<std::size_t>(left, 16 * 1024);
        const std::vector<std::uint8_t> names(piece, 'a');
        attribute(message, IFLA_PROP_LIST, names.data(), names.size());
        left -= piece;
      }
    }
    finish(message);
  }

  void answer_nexthop(std::span<const std::uint8_t> question, std::uint32_t seq) {
    const std::uint32_t id = attributes<nhmsg>(question)[NHA_ID];
    const auto object = objects.find(id);
    if (object == objects.end()) return error(seq, -ENOENT);
    nhmsg body{};
    if (!object->second.hops.empty()) body.nh_flags = object->second.hops[0].flags;
    std::vector<std::uint8_t> message = start(RTM_NEWNEXTHOP, seq, body);
    u32(message, NHA_ID, id);
    if (!object->second.hops.empty()) u32(message, NHA_OIF, object->second.hops[0].index);
    if (!object->second.members.empty()) {
      std::vector<nexthop_grp> group;
      for (const std::uint32_t member : object->second.members) group.push_back({member, 0, 0, 0});
      attribute(message, NHA_GROUP, group.data(), group.size() * sizeof(nexthop_grp));
    }
    finish(message);
  }

  std::deque<std::vector<std::uint8_t>> queue_;
  std::uint32_t last_sequence_ = 0;
};

// The host of two uplinks: up1 203.0.113.10 with the metric-100 default
// route, up2 198.18.0.10 with the metric-200 one, an address on the loopback
// and on a dummy interface; no source rules.
std::unique_ptr<FakeHost> two_uplinks() {
  auto host = std::make_unique<FakeHost>();
  host->addresses[UP1_IP.octets] = UP1;
  host->addresses[UP2_IP.octets] = UP2;
  host->addresses[LOOPBACK_SRC.octets] = LO;
  host->addresses[DUMMY_SRC.octets] = DUMMY;
  host->links[LO] = {"lo", IFF_UP | LOWER_UP | IFF_LOOPBACK, "", 0};
  host->links[UP1] = {"up1", IFF_UP | LOWER_UP, "veth", 0};
  host->links[UP2] = {"up2", IFF_UP | LOWER_UP, "veth", 0};
  host->links[DUMMY] = {"dummy0", IFF_UP | LOWER_UP, "dummy", 0};
  host->routes = {{MAIN, std::nullopt, {{UP1}}, 0, false}, {MAIN, std::nullopt, {{UP2}}, 0, false}};
  return host;
}

struct ChoiceCase {
  const char* name;
  std::function<void(FakeHost&)> setup;
  Ipv4Address source;
  Uplink::Way way;
  unsigned index;
  const char* interface_name;
  bool first_sent = true;  // for a held source: its first request allowed
};

class UplinkChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(UplinkChoiceTest, HoldsTheSourceToItsInterfaceUnlessTheHostSaysOtherwise) {
  const ChoiceCase& c = GetParam();
  std::unique_ptr<FakeHost> host = two_uplinks();
  c.setup(*host);
  FakeHost& seen = *host;
  UplinkRoutes routes(0, std::move(host));
  const Uplink uplink = routes.choose(c.source, TARGET);
  EXPECT_EQ(uplink.way, c.way);
  EXPECT_EQ(uplink.interface_index, c.index);
  EXPECT_EQ(uplink.interface_name, c.interface_name);
  if (c.way == Uplink::Way::by_interface) {
    // Held; its first request decided by what was asked for the choice.
    const int asked = seen.questions;
    EXPECT_EQ(routes.may_send(c.source, TARGET, uplink), c.first_sent);
    if (c.first_sent) {
      EXPECT_EQ(seen.questions, asked);
    }
  }
}

void nothing(FakeHost&) {}

// A rule that sends up2's address to a table of its own.
std::function<void(FakeHost&)> source_table(std::vector<Hop> hops, bool multipath = false,
                                            std::uint32_t object = 0) {
  return [=](FakeHost& host) {
    host.routes.insert(host.routes.begin(), Route{SOURCE_TABLE, UP2_IP, hops, object, multipath});
  };
}

const ChoiceCase CHOICES[] = {
    {"own_default_route", nothing, UP2_IP, Uplink::Way::by_interface, UP2, "up2"},
    {"lower_metric_uplink", nothing, UP1_IP, Uplink::Way::by_interface, UP1, "up1"},
    {"kernel_chooses", nothing, Ipv4Address{}, Uplink::Way::by_table, 0, ""},
    {"not_this_hosts", nothing, Ipv4Address{{192, 0, 2, 99}}, Uplink::Way::by_table, 0, ""},
    {"on_loopback", nothing, LOOPBACK_SRC, Uplink::Way::by_table, 0, ""},
    {"on_dummy", nothing, DUMMY_SRC, Uplink::Way::by_table, 0, ""},
    {"source_rule_by_other_uplink", source_table({{UP1}}), UP2_IP, Uplink::Way::by_table, 0, ""},
    {"source_rule_by_own_uplink", source_table({{UP2}}), UP2_IP, Uplink::Way::by_interface, UP2,
     "up2"},
    {"source_rule_multipath_with_own", source_table({{UP1}, {UP2}}), UP2_IP,
     Uplink::Way::by_interface, UP2, "up2"},
    {"source_rule_multipath_own_first", source_table({{UP2}, {UP1}}), UP2_IP,
     Uplink::Way::by_interface, UP2, "up2"},
    {"source_rule_multipath_one_hop_other", source_table({{UP1}}, true), UP2_IP,
     Uplink::Way::by_table, 0, ""},
    {"main_table_multipath",
     [](FakeHost& host) {
       host.routes = {{MAIN, std::nullopt, {{UP1}, {UP2}}, 0, false}};
     },
     UP2_IP, Uplink::Way::by_interface, UP2, "up2"},
    {"source_rule_nexthop_group",
     [](FakeHost& host) {
       host.objects[11] = {{{UP1}}, {}};
       host.objects[12] = {{{UP2}}, {}};
       host.objects[10] = {{}, {11, 12}};
       source_table({}, false, 10)(host);
     },
     UP2_IP, Uplink::Way::by_interface, UP2, "up2"},
    {"source_rule_nexthop_other_uplink",
     [](FakeHost& host) {
       host.objects[11] = {{{UP1}}, {}};
       source_table({}, false, 11)(host);
     },
     UP2_IP, Uplink::Way::by_table, 0, ""},
    {"source_rule_nexthop_untold", [](FakeHost& host) { source_table({}, false, 99)(host); },
     UP2_IP, Uplink::Way::by_interface, UP2, "up2"},
    {"link_refused", [](FakeHost& host) { host.link_reply = Reply::refuse; }, UP2_IP,
     Uplink::Way::by_interface, UP2, ""},
    {"link_unanswered", [](FakeHost& host) { host.link_reply = Reply::silent; }, UP2_IP,
     Uplink::Way::by_interface, UP2, ""},
    {"link_refused_dummy", [](FakeHost& host) { host.link_reply = Reply::refuse; }, DUMMY_SRC,
     Uplink::Way::by_interface, DUMMY, "", false},
    {"where_unanswered", [](FakeHost& host) { host.local_reply = Reply::silent; }, UP2_IP,
     Uplink::Way::unknown, 0, ""},
    {"where_refused", [](FakeHost& host) { host.local_reply = Reply::refuse; }, UP2_IP,
     Uplink::Way::unknown, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Hosts, UplinkChoiceTest, ::testing::ValuesIn(CHOICES),
                         [](const auto& info) { return std::string(info.param.name); });

// A link answer of LENGTH bytes: read whole, with the link asked at most
// twice (once more, with the buffer grown to the length the kernel said).
struct LongAnswerCase {
  const char* name;
  std::size_t padding;
  int link_questions;
};

class LongLinkAnswerTest : public ::testing::TestWithParam<LongAnswerCase> {};

TEST_P(LongLinkAnswerTest, IsReadWholeAtTheNextTry) {
  std::unique_ptr<FakeHost> host = two_uplinks();
  host->links[UP2].padding = GetParam().padding;
  FakeHost& seen = *host;
  UplinkRoutes routes(0, std::move(host));
  const Uplink uplink = routes.choose(UP2_IP, TARGET);
  EXPECT_EQ(uplink.way, Uplink::Way::by_interface);
  EXPECT_EQ(uplink.interface_name, "up2");  // it is read from the answer
  EXPECT_EQ(seen.questions_of[RTM_GETLINK], GetParam().link_questions);
  EXPECT_GE(seen.buffers.back(), GetParam().padding);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongLinkAnswerTest,
                         ::testing::Values(LongAnswerCase{"short", 100, 1},
                                           LongAnswerCase{"under_twice", 12 * 1024, 2},
                                           LongAnswerCase{"three_times", 24 * 1024, 2},
                                           LongAnswerCase{"eight_times", 64 * 1024, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// The per-request decision, up2's address held to up2: a change made on the
// host (with its news, or news lost), then the next request; where one is
// refused, the following asks again, and with the change undone it is sent.
struct DecisionCase {
  const char* name;
  std::function<void(FakeHost&)> change;
  bool sent;
  int questions;  // asked for the request after the change
  bool asks_again;
  std::function<void(FakeHost&)> undo = nullptr;
};

class PerRequestDecisionTest : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(PerRequestDecisionTest, SendsOnlyWhileTheInterfaceHoldsCarriesAndRoutes) {
  const DecisionCase& c = GetParam();
  std::unique_ptr<FakeHost> host = two_uplinks();
  FakeHost& seen = *host;
  UplinkRoutes routes(0, std::move(host));
  const Uplink uplink = routes.choose(UP2_IP, TARGET);
  ASSERT_EQ(uplink.interface_index, UP2);
  ASSERT_TRUE(routes.may_send(UP2_IP, TARGET, uplink));
  c.change(seen);
  int asked = seen.questions;
  EXPECT_EQ(routes.may_send(UP2_IP, TARGET, uplink), c.sent);
  EXPECT_EQ(seen.questions - asked, c.questions);
  asked = seen.questions;
  EXPECT_EQ(routes.may_send(UP2_IP, TARGET, uplink), c.sent);
  EXPECT_EQ(seen.questions > asked, c.asks_again);
  if (c.undo) {
    c.undo(seen);
    seen.news();
    EXPECT_TRUE(routes.may_send(UP2_IP, TARGET, uplink));
  }
}

Route& up2_default(FakeHost& host) {
  return host.routes[1];
}
void up2_carrier(FakeHost& host, bool on) {
  up2_default(host).hops[0].flags = on ? 0 : RTNH_F_LINKDOWN;
  host.links[UP2].flags = on ? unsigned{IFF_UP} | LOWER_UP : unsigned{IFF_UP};
}

const DecisionCase DECISIONS[] = {
    {"nothing_changed", [](FakeHost&) {}, true, 0, false},
    {"news_of_a_change_elsewhere", [](FakeHost& host) { host.news(RTM_NEWADDR); }, true, 2, false},
    {"news_lost", [](FakeHost& host) { host.lose_news(); }, true, 2, false},
    {"news_and_lost_news",
     [](FakeHost& host) {
       host.news(RTM_NEWROUTE);
       host.lose_news();
       host.news(RTM_NEWRULE);
     },
     true, 2, false},
    {"news_while_asking",
     [](FakeHost& host) {
       host.news(RTM_NEWROUTE);
       host.after_answer = [&host] {
         host.news(RTM_DELROUTE);
         host.after_answer = nullptr;
       };
     },
     true, 2, true},
    {"address_moved_to_up1",
     [](FakeHost& host) {
       host.addresses[UP2_IP.octets] = UP1;
       host.news(RTM_NEWADDR);
     },
     false, 1, true, [](FakeHost& host) { host.addresses[UP2_IP.octets] = UP2; }},
    {"address_gone",
     [](FakeHost& host) {
       host.addresses.erase(UP2_IP.octets);
       host.news(RTM_DELADDR);
     },
     false, 1, true, [](FakeHost& host) { host.addresses[UP2_IP.octets] = UP2; }},
    {"interface_made_again",
     [](FakeHost& host) {
       host.links[UP2_AGAIN] = host.links[UP2];
       host.links.erase(UP2);
       host.addresses[UP2_IP.octets] = UP2_AGAIN;
       up2_default(host).hops[0].index = UP2_AGAIN;
       host.news(RTM_DELLINK);
       host.news(RTM_NEWLINK);
     },
     false, 1, true},
    {"carrier_lost",
     [](FakeHost& host) {
       up2_carrier(host, false);
       host.news(RTM_NEWLINK);
     },
     false, 2, true, [](FakeHost& host) { up2_carrier(host, true); }},
    {"carrier_lost_news_lost",
     [](FakeHost& host) {
       up2_carrier(host, false);
       host.lose_news();
     },
     false, 2, true, [](FakeHost& host) { up2_carrier(host, true); }},
    {"carrier_lost_on_a_multipath_route",
     [](FakeHost& host) {
       host.routes = {{MAIN, std::nullopt, {{UP1}, {UP2, RTNH_F_LINKDOWN}}, 0, false}};
       host.news(RTM_NEWLINK);
     },
     false, 2, true, [](FakeHost& host) { host.routes[0].hops[1].flags = 0; }},
    {"next_hop_dead",
     [](FakeHost& host) {
       up2_default(host).hops[0].flags = RTNH_F_DEAD;
       host.news(RTM_NEWROUTE);
     },
     false, 2, true, [](FakeHost& host) { up2_default(host).hops[0].flags = 0; }},
    {"route_gone",
     [](FakeHost& host) {
       host.routes.pop_back();
       host.news(RTM_DELROUTE);
     },
     false, 2, true,
     [](FakeHost& host) {
       host.routes.push_back({MAIN, std::nullopt, {{UP2}}, 0, false});
     }},
    {"route_by_object",
     [](FakeHost& host) {
       host.objects[12] = {{{UP2}}, {}};
       up2_default(host) = {MAIN, std::nullopt, {}, 12, false};
       host.news(RTM_NEWROUTE);
     },
     true, 3, false},
    {"route_by_object_whose_news_is_unheard",
     [](FakeHost& host) {
       host.objects[12] = {{{UP2}}, {}};
       up2_default(host) = {MAIN, std::nullopt, {}, 12, false};
       host.hears_objects = false;
       host.news(RTM_NEWROUTE);
     },
     true, 3, true},
    {"route_gone_news_lost",
     [](FakeHost& host) {
       host.routes.pop_back();
       host.lose_news();
     },
     false, 2, true},
};

INSTANTIATE_TEST_SUITE_P(Changes, PerRequestDecisionTest, ::testing::ValuesIn(DECISIONS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ketrova
