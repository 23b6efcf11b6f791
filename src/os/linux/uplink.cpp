#include "os/linux/uplink.h"

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/linux/icmp_socket.h"

namespace ketrova {
namespace {

// A route netlink request: a header, a fixed body, and a few attributes.
template <typename Body>
struct Request {
  nlmsghdr header{};
  Body body{};
  alignas(NLMSG_ALIGNTO) std::uint8_t attributes[64]{};
  std::size_t used = 0;

  Request(std::uint16_t type, std::uint16_t flags) {
    header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
    header.nlmsg_type = type;
    header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
  }

  template <typename Value>
  void add(std::uint16_t type, Value value) {
    static_assert(offsetof(Request, attributes) == NLMSG_ALIGN(NLMSG_LENGTH(sizeof(Body))));
    rtattr attribute{static_cast<std::uint16_t>(RTA_LENGTH(sizeof value)), type};
    std::memcpy(attributes + used, &attribute, sizeof attribute);
    std::memcpy(attributes + used + RTA_LENGTH(0), &value, sizeof value);
    used += RTA_ALIGN(attribute.rta_len);
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_ALIGN(NLMSG_LENGTH(sizeof(Body))) + used);
  }
};

// The attributes that follow a message's fixed body.
template <typename Body, typename Visit>
void each_attribute(const nlmsghdr& message, Visit&& visit) {
  const auto* body = static_cast<const std::uint8_t*>(NLMSG_DATA(&message));
  const std::size_t header = NLMSG_LENGTH(sizeof(Body));
  if (message.nlmsg_len < header) return;
  int length = static_cast<int>(message.nlmsg_len - NLMSG_ALIGN(header));
  for (auto* a = reinterpret_cast<const rtattr*>(body + NLMSG_ALIGN(sizeof(Body)));
       RTA_OK(a, length); a = RTA_NEXT(a, length)) {
    visit(*a);
  }
}

std::string_view attribute_text(const rtattr& attribute) {
  std::string_view text(static_cast<const char*>(RTA_DATA(&attribute)), RTA_PAYLOAD(&attribute));
  return text.substr(0, text.find('\0'));
}

}  // namespace

// A route netlink socket that asks one thing at a time. The kernel answers
// such requests before the write returns, so the answer is read without
// waiting (the socket does not block): the probe never hangs on it. Every
// answer is read whole, however long (a link with many alternative names
// answers with tens of kilobytes).
class RouteNetlink {
 public:
  RouteNetlink()
      : fd_(away_from_standard_streams(
            ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE))),
        buffer_(8 * 1024) {}
  ~RouteNetlink() {
    if (fd_ >= 0) ::close(fd_);
  }
  RouteNetlink(const RouteNetlink&) = delete;
  RouteNetlink& operator=(const RouteNetlink&) = delete;

  // Sends `request` and hands its answer to `on_message`. 0 when the kernel
  // answered, its error (a negative errno) when it refused; NO_ANSWER when
  // there was none.
  static constexpr int NO_ANSWER = 1;
  template <typename Body, typename OnMessage>
  int ask(Request<Body>& request, OnMessage&& on_message) {
    if (fd_ < 0) return NO_ANSWER;
    // An answer longer than the buffer is cut short when it is read: the
    // buffer grows to its length and the question is asked again.
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
      request.header.nlmsg_seq = ++sequence_;
      // write and recv (to the kernel, unconnected as the socket is), not
      // the calls of the echo requests, so that a tracer tells them apart.
      if (::write(fd_, &request, request.header.nlmsg_len) !=
          static_cast<ssize_t>(request.header.nlmsg_len)) {
        return NO_ANSWER;
      }
      const int answer = read_answer(on_message);
      if (answer != CUT_SHORT) return answer;
    }
    return NO_ANSWER;
  }

 private:
  static constexpr int ATTEMPTS = 3;
  static constexpr int CUT_SHORT = 2;

  template <typename OnMessage>
  int read_answer(OnMessage&& on_message) {
    for (;;) {
      ssize_t size = 0;
      do {
        size = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_TRUNC);
      } while (size < 0 && errno == EINTR);
      if (size <= 0) return NO_ANSWER;
      if (static_cast<std::size_t>(size) > buffer_.size()) {
        buffer_.resize(static_cast<std::size_t>(size));
        return CUT_SHORT;
      }
      int left = static_cast<int>(size);
      for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer_.data()); NLMSG_OK(m, left);
           m = NLMSG_NEXT(m, left)) {
        // Anything else is a stale answer to an earlier request.
        if (m->nlmsg_seq != sequence_) continue;
        if (m->nlmsg_type == NLMSG_ERROR) {
          if (m->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return NO_ANSWER;
          nlmsgerr error{};
          std::memcpy(&error, NLMSG_DATA(m), sizeof error);
          // An acknowledgement (0) is no answer to a question.
          return error.error < 0 ? error.error : NO_ANSWER;
        }
        on_message(*m);
        return 0;
      }
    }
  }

  int fd_;
  std::uint32_t sequence_ = 0;
  std::vector<std::uint8_t> buffer_;
};

namespace {

// The routing entry that the kernel's lookup for `destination` matched.
struct RouteEntry {
  int answer = RouteNetlink::NO_ANSWER;  // 0, or the kernel's error
  bool matched = false;                  // the answer was an entry
  std::uint8_t type = RTN_UNSPEC;
  std::uint32_t table = 0;
  unsigned interface_index = 0;  // of its next hop; 0 for several
};

// Asks for the entry that matched, not the route the lookup made of it: with
// an output interface named and no route through it, the kernel would make
// one that takes the target for a neighbour on that link, and only the entry
// (there is none) tells the two apart. `source`, the ICMP protocol and the
// ICMP socket's owner select the table as the host's rules do for the
// requests.
RouteEntry matched_entry(RouteNetlink& netlink, std::uint32_t owner, Ipv4Address destination,
                         std::optional<Ipv4Address> source, unsigned interface_index) {
  Request<rtmsg> request(RTM_GETROUTE, 0);
  request.body.rtm_family = AF_INET;
  request.body.rtm_dst_len = 32;
  request.body.rtm_flags = RTM_F_FIB_MATCH | RTM_F_LOOKUP_TABLE;
  request.add(RTA_DST, to_network_order(destination));
  if (source) {
    request.body.rtm_src_len = 32;
    request.add(RTA_SRC, to_network_order(*source));
  }
  if (interface_index != 0) request.add(RTA_OIF, static_cast<std::uint32_t>(interface_index));
  request.add(RTA_IP_PROTO, static_cast<std::uint8_t>(IPPROTO_ICMP));
  request.add(RTA_UID, owner);
  RouteEntry entry;
  entry.answer = netlink.ask(request, [&](const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWROUTE || message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
      return;
    }
    rtmsg route{};
    std::memcpy(&route, NLMSG_DATA(&message), sizeof route);
    entry.matched = true;
    entry.type = route.rtm_type;
    entry.table = route.rtm_table;
    each_attribute<rtmsg>(message, [&](const rtattr& a) {
      if (RTA_PAYLOAD(&a) != sizeof(std::uint32_t)) return;
      std::uint32_t value = 0;
      std::memcpy(&value, RTA_DATA(&a), sizeof value);
      if (a.rta_type == RTA_OIF) entry.interface_index = value;
      if (a.rta_type == RTA_TABLE) entry.table = value;  // tables past 255
    });
  });
  return entry;
}

// What a link is to the probe: its name, and whether it belongs to no one
// link (the loopback interface, or a dummy interface).
struct LinkFacts {
  int answer = RouteNetlink::NO_ANSWER;
  bool linkless = false;
  std::string name;
};

LinkFacts link_facts(RouteNetlink& netlink, unsigned index) {
  Request<ifinfomsg> request(RTM_GETLINK, 0);
  request.body.ifi_family = AF_UNSPEC;
  request.body.ifi_index = static_cast<int>(index);
  // Without the statistics the answer is a third as long.
  request.add(IFLA_EXT_MASK, static_cast<std::uint32_t>(RTEXT_FILTER_SKIP_STATS));
  LinkFacts facts;
  bool seen = false;
  facts.answer = netlink.ask(request, [&](const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWLINK || message.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
      return;
    }
    ifinfomsg link{};
    std::memcpy(&link, NLMSG_DATA(&message), sizeof link);
    if (static_cast<unsigned>(link.ifi_index) != index) return;
    seen = true;
    facts.linkless = (link.ifi_flags & IFF_LOOPBACK) != 0;
    each_attribute<ifinfomsg>(message, [&](const rtattr& a) {
      if (a.rta_type == IFLA_IFNAME) facts.name = attribute_text(a);
      if (a.rta_type != IFLA_LINKINFO) return;
      int length = static_cast<int>(RTA_PAYLOAD(&a));
      for (auto* info = static_cast<const rtattr*>(RTA_DATA(&a)); RTA_OK(info, length);
           info = RTA_NEXT(info, length)) {
        if (info->rta_type == IFLA_INFO_KIND && attribute_text(*info) == "dummy") {
          facts.linkless = true;
        }
      }
    });
  });
  if (facts.answer == 0 && !seen) facts.answer = RouteNetlink::NO_ANSWER;
  return facts;
}

}  // namespace

UplinkRoutes::UplinkRoutes(uid_t socket_owner)
    : netlink_(std::make_unique<RouteNetlink>()),
      owner_(static_cast<std::uint32_t>(socket_owner)) {}

UplinkRoutes::~UplinkRoutes() = default;

Uplink UplinkRoutes::choose(Ipv4Address source, Ipv4Address target) {
  if (source == Ipv4Address{}) return {Uplink::Way::by_table, 0, {}};
  RouteNetlink& netlink = *netlink_;
  // The interface that holds the source: the one of its local route (the
  // kernel keeps one per local address, in the local table).
  const RouteEntry local = matched_entry(netlink, owner_, source, std::nullopt, 0);
  if (local.answer == RouteNetlink::NO_ANSWER) return {};
  if (local.answer < 0 || !local.matched || local.type != RTN_LOCAL) {
    // Not this host's address: binding to it fails, and nothing is sent.
    return {Uplink::Way::by_table, 0, {}};
  }
  const unsigned index = local.interface_index;
  if (index == 0) return {};
  const LinkFacts link = link_facts(netlink, index);
  if (link.answer == 0 && link.linkless) return {Uplink::Way::by_table, 0, {}};
  // Where the link could not be told, the address is held like any other.
  const Uplink held{Uplink::Way::by_interface, index, link.name};
  // The route that the tables give a request from the source. Through
  // another interface, from a table that the host's rules select for this
  // source and not for others (or only for it): the host routes this
  // address that way on purpose, and its choice stands.
  const RouteEntry by_table = matched_entry(netlink, owner_, target, source, 0);
  if (by_table.answer == 0 && by_table.matched && by_table.interface_index != index) {
    const RouteEntry for_any = matched_entry(netlink, owner_, target, std::nullopt, 0);
    if (for_any.answer < 0 || (for_any.answer == 0 && for_any.table != by_table.table)) {
      return {Uplink::Way::by_table, 0, {}};
    }
  }
  return held;
}

bool UplinkRoutes::has_route(Ipv4Address source, Ipv4Address target, unsigned interface_index) {
  const RouteEntry route = matched_entry(*netlink_, owner_, target, source, interface_index);
  return route.answer == 0 && route.matched;
}

}  // namespace ketrova
