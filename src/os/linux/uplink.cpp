#include "os/linux/uplink.h"

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// The kernel's route netlink socket. It does not block: the kernel answers a
// question before the write returns, so the answer is read without waiting,
// and the probe never hangs on it. It is subscribed to the news of every
// change that could move a request to another interface before the first
// question, so that no change after an answer goes unheard.
class KernelRouteNetlink final : public RouteNetlinkChannel {
 public:
  KernelRouteNetlink()
      : fd_(away_from_standard_streams(
            ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE))) {
    if (fd_ < 0) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV4_RULE;
    // Unheard news would be trusted as no news: without the groups, the
    // socket is not used at all.
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    // Next-hop objects, on kernels that have them (where none can exist,
    // none can change).
    const int nexthops = RTNLGRP_NEXTHOP;
    hears_next_hop_objects_ =
        ::setsockopt(fd_, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &nexthops, sizeof nexthops) == 0;
    socklen_t length = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      port_ = local.nl_pid;
    }
  }
  ~KernelRouteNetlink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  KernelRouteNetlink(const KernelRouteNetlink&) = delete;
  KernelRouteNetlink& operator=(const KernelRouteNetlink&) = delete;

  bool is_open() const { return fd_ >= 0; }

  bool send(std::span<const std::uint8_t> question) override {
    // write and recv (to the kernel, unconnected as the socket is), not the
    // calls of the echo requests, so that a tracer tells them apart.
    return ::write(fd_, question.data(), question.size()) == static_cast<ssize_t>(question.size());
  }

  long receive(std::span<std::uint8_t> buffer) override {
    ssize_t size = 0;
    do {
      size = ::recv(fd_, buffer.data(), buffer.size(), MSG_TRUNC);
    } while (size < 0 && errno == EINTR);
    return size < 0 ? -errno : static_cast<long>(size);
  }

  std::uint32_t port() const override { return port_; }
  bool hears_next_hop_objects() const override { return hears_next_hop_objects_; }

 private:
  int fd_;
  std::uint32_t port_ = 0;
  bool hears_next_hop_objects_ = false;
};

// Asks one thing at a time over a channel, and keeps track of whether
// anything changed since it was last told to forget that. Every answer is
// read whole, however long (a link with many alternative names answers with
// tens of kilobytes).
class RouteNetlink {
 public:
  explicit RouteNetlink(std::unique_ptr<RouteNetlinkChannel> channel)
      : channel_(std::move(channel)), buffer_(FIRST_BUFFER) {}

  static constexpr std::size_t FIRST_BUFFER = 8 * 1024;

  // Sends `request` and hands its answer to `on_message`. 0 when the kernel
  // answered, its error (a negative errno) when it refused; NO_ANSWER when
  // there was none.
  static constexpr int NO_ANSWER = 1;
  template <typename Body, typename OnMessage>
  int ask(Request<Body>& request, OnMessage&& on_message) {
    if (!channel_) return NO_ANSWER;
    // An answer longer than the buffer is cut short when it is read: the
    // buffer grows to its length and the question is asked again. So it is
    // where news of changes was lost, which may have been the answer.
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
      request.header.nlmsg_seq = ++sequence_;
      if (!channel_->send(std::span(reinterpret_cast<const std::uint8_t*>(&request),
                                    request.header.nlmsg_len))) {
        return NO_ANSWER;
      }
      const int answer = read_answer(on_message);
      if (answer != ASK_AGAIN) return answer;
    }
    return NO_ANSWER;
  }

  // Reads whatever news is queued, without waiting.
  void take_news() {
    if (!channel_) return;
    for (;;) {
      const long size = channel_->receive(buffer_);
      if (size == -EAGAIN) return;
      // News, lost news, or a read that failed: all the same, a change.
      changed_ = true;
      if (size < 0 && size != -ENOBUFS) return;
    }
  }

  // Whether anything changed, or may have, since forget_changes.
  bool changed() const { return changed_; }
  bool hears_next_hop_objects() const { return channel_ && channel_->hears_next_hop_objects(); }
  void forget_changes() { changed_ = false; }

 private:
  static constexpr int ATTEMPTS = 3;
  static constexpr int ASK_AGAIN = 2;

  template <typename OnMessage>
  int read_answer(OnMessage&& on_message) {
    for (;;) {
      const long size = channel_->receive(buffer_);
      if (size == -ENOBUFS) {
        changed_ = true;
        return ASK_AGAIN;
      }
      if (size <= 0) return NO_ANSWER;
      const std::size_t length = static_cast<std::size_t>(size);
      const std::size_t whole = std::min(length, buffer_.size());
      if (whole < sizeof(nlmsghdr)) return NO_ANSWER;
      nlmsghdr first{};
      std::memcpy(&first, buffer_.data(), sizeof first);
      if (!answers_this(first)) {
        // News of a change (or a stale answer), queued ahead of the answer.
        changed_ = true;
        continue;
      }
      if (length > buffer_.size()) {
        buffer_.resize(length);
        return ASK_AGAIN;
      }
      int left = static_cast<int>(length);
      for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer_.data()); NLMSG_OK(m, left);
           m = NLMSG_NEXT(m, left)) {
        if (!answers_this(*m)) continue;
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
      return NO_ANSWER;
    }
  }

  bool answers_this(const nlmsghdr& message) const {
    return message.nlmsg_seq == sequence_ && message.nlmsg_pid == channel_->port();
  }

  std::unique_ptr<RouteNetlinkChannel> channel_;
  std::uint32_t sequence_ = 0;
  std::vector<std::uint8_t> buffer_;
  bool changed_ = false;
};

std::unique_ptr<RouteNetlinkChannel> open_route_netlink() {
  auto channel = std::make_unique<KernelRouteNetlink>();
  if (!channel->is_open()) return nullptr;
  return channel;
}

namespace {

// One next hop of a routing entry: its interface and its RTNH_F_* flags.
struct NextHop {
  unsigned interface_index = 0;
  unsigned flags = 0;
};

// The routing entry that the kernel's lookup for `destination` matched.
struct RouteEntry {
  int answer = RouteNetlink::NO_ANSWER;  // 0, or the kernel's error
  bool matched = false;                  // the answer was an entry
  std::uint8_t type = RTN_UNSPEC;
  std::uint32_t table = 0;
  unsigned interface_index = 0;  // of its one next hop; 0 for several
  std::vector<NextHop> next_hops;
  std::uint32_t nexthop_object = 0;  // RTA_NH_ID, where it uses one

  const NextHop* through(unsigned index) const {
    for (const NextHop& hop : next_hops) {
      if (hop.interface_index == index) return &hop;
    }
    return nullptr;
  }
};

// The next hops of a multipath entry (RTA_MULTIPATH).
std::vector<NextHop> multipath_hops(const rtattr& attribute) {
  std::vector<NextHop> hops;
  const auto* at = static_cast<const std::uint8_t*>(RTA_DATA(&attribute));
  std::size_t left = RTA_PAYLOAD(&attribute);
  while (left >= sizeof(rtnexthop)) {
    rtnexthop hop{};
    std::memcpy(&hop, at, sizeof hop);
    if (hop.rtnh_len < sizeof hop || hop.rtnh_len > left) break;
    hops.push_back({static_cast<unsigned>(hop.rtnh_ifindex), hop.rtnh_flags});
    const std::size_t step = std::min<std::size_t>(RTNH_ALIGN(hop.rtnh_len), left);
    at += step;
    left -= step;
  }
  return hops;
}

// The next hops of a next-hop object: its own, or its group members'
// (groups do not nest). Empty where the kernel does not say.
std::vector<NextHop> object_hops(RouteNetlink& netlink, std::uint32_t id, int depth = 0) {
  Request<nhmsg> request(RTM_GETNEXTHOP, 0);
  request.body.nh_family = AF_UNSPEC;
  request.add(NHA_ID, id);
  std::vector<NextHop> hops;
  std::vector<std::uint32_t> members;
  const int answer = netlink.ask(request, [&](const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWNEXTHOP || message.nlmsg_len < NLMSG_LENGTH(sizeof(nhmsg))) {
      return;
    }
    nhmsg body{};
    std::memcpy(&body, NLMSG_DATA(&message), sizeof body);
    each_attribute<nhmsg>(message, [&](const rtattr& a) {
      if (a.rta_type == NHA_OIF && RTA_PAYLOAD(&a) == sizeof(std::uint32_t)) {
        std::uint32_t index = 0;
        std::memcpy(&index, RTA_DATA(&a), sizeof index);
        hops.push_back({index, body.nh_flags});
      }
      if (a.rta_type == NHA_GROUP) {
        const auto* at = static_cast<const std::uint8_t*>(RTA_DATA(&a));
        for (std::size_t i = 0; i + sizeof(nexthop_grp) <= RTA_PAYLOAD(&a);
             i += sizeof(nexthop_grp)) {
          nexthop_grp member{};
          std::memcpy(&member, at + i, sizeof member);
          members.push_back(member.id);
        }
      }
    });
  });
  if (answer != 0) return {};
  if (depth == 0) {
    for (const std::uint32_t member : members) {
      const std::vector<NextHop> more = object_hops(netlink, member, depth + 1);
      hops.insert(hops.end(), more.begin(), more.end());
    }
  }
  return hops;
}

// Asks for the entry that matched, not the route the lookup made of it: with
// an output interface named and no route through it, the kernel would make
// one that takes the target for a neighbour on that link, and only the entry
// (there is none) tells the two apart. `source`, the ICMP protocol and the
// ICMP socket's owner select the table as the host's rules do for the
// requests. A multipath entry names each next hop with its flags; one that
// uses a next-hop object alone is told by that object.
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
      if (a.rta_type == RTA_MULTIPATH) entry.next_hops = multipath_hops(a);
      if (RTA_PAYLOAD(&a) != sizeof(std::uint32_t)) return;
      std::uint32_t value = 0;
      std::memcpy(&value, RTA_DATA(&a), sizeof value);
      if (a.rta_type == RTA_OIF) entry.interface_index = value;
      if (a.rta_type == RTA_TABLE) entry.table = value;  // tables past 255
      if (a.rta_type == RTA_NH_ID) entry.nexthop_object = value;
    });
    // One next hop: its flags are the entry's.
    if (entry.interface_index != 0) entry.next_hops = {{entry.interface_index, route.rtm_flags}};
  });
  if (entry.matched && entry.next_hops.empty() && entry.nexthop_object != 0) {
    entry.next_hops = object_hops(netlink, entry.nexthop_object);
  }
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

UplinkRoutes::UplinkRoutes(uid_t socket_owner) : UplinkRoutes(socket_owner, open_route_netlink()) {}

UplinkRoutes::UplinkRoutes(uid_t socket_owner, std::unique_ptr<RouteNetlinkChannel> channel)
    : netlink_(std::make_unique<RouteNetlink>(std::move(channel))),
      owner_(static_cast<std::uint32_t>(socket_owner)) {}

UplinkRoutes::~UplinkRoutes() = default;

Uplink UplinkRoutes::choose(Ipv4Address source, Ipv4Address target) {
  cleared_ = false;
  if (source == Ipv4Address{}) return {Uplink::Way::by_table, 0, {}};
  RouteNetlink& netlink = *netlink_;
  // Whatever news is queued so far is of changes older than the answers
  // that follow: it is read (and passed over) with them.
  netlink.forget_changes();
  // The interface that holds the source: the one of its local route (the
  // kernel keeps one per local address, in the local table).
  const RouteEntry local = matched_entry(netlink, owner_, source, std::nullopt, 0);
  // Refused as a question (not answered by a lookup): nothing told.
  if (local.answer == RouteNetlink::NO_ANSWER || local.answer == -EPERM) return {};
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
  // another interface alone, from a table that the host's rules select for
  // this source and not for others (or only for it): the host routes this
  // address that way on purpose, and its choice stands. A route with a next
  // hop through the address's own interface is held there, one of several
  // as much as the only one; so is one whose next hops cannot be told.
  const RouteEntry by_table = matched_entry(netlink, owner_, target, source, 0);
  if (by_table.answer == 0 && by_table.matched && !by_table.next_hops.empty() &&
      by_table.through(index) == nullptr) {
    const RouteEntry for_any = matched_entry(netlink, owner_, target, std::nullopt, 0);
    if (for_any.answer < 0 || (for_any.answer == 0 && for_any.table != by_table.table)) {
      return {Uplink::Way::by_table, 0, {}};
    }
  }
  // The first request's own check, kept where nothing changed while asking.
  bool lasting = false;
  const bool allowed = ask_may_send(source, target, index, lasting);
  if (allowed && lasting && !netlink.changed()) {
    cleared_ = true;
    cleared_source_ = source;
    cleared_target_ = target;
    cleared_index_ = index;
  }
  return held;
}

bool UplinkRoutes::may_send(Ipv4Address source, Ipv4Address target, const Uplink& uplink) {
  RouteNetlink& netlink = *netlink_;
  netlink.take_news();
  if (cleared_ && !netlink.changed() && cleared_source_ == source && cleared_target_ == target &&
      cleared_index_ == uplink.interface_index) {
    return true;
  }
  // Asked afresh: news heard from here on is of a change after the answer.
  netlink.forget_changes();
  bool lasting = false;
  const bool allowed = ask_may_send(source, target, uplink.interface_index, lasting);
  cleared_ = allowed && lasting;
  cleared_source_ = source;
  cleared_target_ = target;
  cleared_index_ = uplink.interface_index;
  return allowed;
}

bool UplinkRoutes::ask_may_send(Ipv4Address source, Ipv4Address target, unsigned interface_index,
                                bool& lasting) {
  RouteNetlink& netlink = *netlink_;
  lasting = false;
  // The address still on the interface the socket is held to: not moved to
  // another, and not on one deleted and made again (a new index).
  const RouteEntry local = matched_entry(netlink, owner_, source, std::nullopt, 0);
  if (local.answer != 0 || !local.matched || local.type != RTN_LOCAL ||
      local.interface_index != interface_index) {
    return false;
  }
  // A route to the target through that interface, whose next hop there has
  // carrier (the kernel marks it linkdown where the link has none) and is
  // not dead.
  const RouteEntry route = matched_entry(netlink, owner_, target, source, interface_index);
  if (route.answer != 0 || !route.matched) return false;
  const NextHop* hop = route.through(interface_index);
  // A route by a next-hop object changes with the object, news of which
  // may not be heard: then it is asked again for every request.
  lasting = route.nexthop_object == 0 || netlink.hears_next_hop_objects();
  return hop != nullptr && (hop->flags & (RTNH_F_LINKDOWN | RTNH_F_DEAD)) == 0;
}

}  // namespace ketrova
