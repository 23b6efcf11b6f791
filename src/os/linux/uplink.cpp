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
#include <string_view>

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

// A route netlink socket that asks one thing at a time. The kernel answers
// such requests before the write returns, so the answer is read without
// waiting (the socket does not block): the probe never hangs on it.
class RouteNetlink {
 public:
  RouteNetlink()
      : fd_(away_from_standard_streams(
            ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE))) {}
  ~RouteNetlink() {
    if (fd_ >= 0) ::close(fd_);
  }
  RouteNetlink(const RouteNetlink&) = delete;
  RouteNetlink& operator=(const RouteNetlink&) = delete;

  bool is_open() const { return fd_ >= 0; }

  // Sends `request` and hands its answer to `on_message`. 0 when the kernel
  // answered, its error (a negative errno) when it refused; kNoAnswer when
  // there was none.
  static constexpr int kNoAnswer = 1;
  template <typename Body, typename OnMessage>
  int ask(Request<Body>& request, OnMessage&& on_message) {
    request.header.nlmsg_seq = ++sequence_;
    // write and read (to the kernel, unconnected as the socket is), not the
    // calls of the echo requests, so that a tracer tells the two apart.
    if (::write(fd_, &request, request.header.nlmsg_len) !=
        static_cast<ssize_t>(request.header.nlmsg_len)) {
      return kNoAnswer;
    }
    for (;;) {
      ssize_t size = 0;
      do {
        size = ::read(fd_, buffer_.data(), buffer_.size());
      } while (size < 0 && errno == EINTR);
      // An answer that filled the buffer may have been cut short.
      if (size <= 0 || static_cast<std::size_t>(size) >= buffer_.size()) return kNoAnswer;
      int left = static_cast<int>(size);
      for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer_.data()); NLMSG_OK(m, left);
           m = NLMSG_NEXT(m, left)) {
        // Anything else is a stale answer to an earlier request.
        if (m->nlmsg_seq != sequence_) continue;
        if (m->nlmsg_type == NLMSG_ERROR) {
          if (m->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return kNoAnswer;
          nlmsgerr error{};
          std::memcpy(&error, NLMSG_DATA(m), sizeof error);
          return error.error;
        }
        on_message(*m);
        return 0;
      }
    }
  }

 private:
  int fd_;
  std::uint32_t sequence_ = 0;
  // A link's answer, with its statistics, is a few kilobytes.
  alignas(nlmsghdr) std::array<std::uint8_t, 16 * 1024> buffer_{};
};

// The routing entry that the kernel's lookup for `destination` matched.
struct RouteEntry {
  int answer = RouteNetlink::kNoAnswer;  // 0, or the kernel's error
  std::uint8_t type = RTN_UNSPEC;
  std::uint32_t table = 0;
  unsigned interface_index = 0;  // of its next hop; 0 for several
};

// Asks for the entry that matched, not the route the lookup made of it: with
// an output interface named and no route through it, the kernel would make
// one that takes the target for a neighbour on that link, and only the entry
// (there is none) tells the two apart. `source`, the ICMP protocol and the
// caller's user ID select the table as the host's rules do for the requests.
RouteEntry matched_entry(RouteNetlink& netlink, Ipv4Address destination,
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
  RouteEntry entry;
  entry.answer = netlink.ask(request, [&](const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWROUTE) return;
    rtmsg route{};
    std::memcpy(&route, NLMSG_DATA(&message), sizeof route);
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

// The interface that holds `source`: the one of its local route (the kernel
// keeps one per local address, in the local table); 0 where this host does
// not hold it.
unsigned interface_holding(RouteNetlink& netlink, Ipv4Address source) {
  const RouteEntry local = matched_entry(netlink, source, std::nullopt, 0);
  return local.answer == 0 && local.type == RTN_LOCAL ? local.interface_index : 0;
}

// Whether the interface belongs to no one link: the loopback interface, or a
// dummy interface. Also true where the kernel cannot tell.
bool is_linkless(RouteNetlink& netlink, unsigned index) {
  Request<ifinfomsg> request(RTM_GETLINK, 0);
  request.body.ifi_family = AF_UNSPEC;
  request.body.ifi_index = static_cast<int>(index);
  bool linkless = true;
  const int answer = netlink.ask(request, [&](const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWLINK) return;
    ifinfomsg link{};
    std::memcpy(&link, NLMSG_DATA(&message), sizeof link);
    linkless = (link.ifi_flags & IFF_LOOPBACK) != 0;
    each_attribute<ifinfomsg>(message, [&](const rtattr& a) {
      if (a.rta_type != IFLA_LINKINFO) return;
      int length = static_cast<int>(RTA_PAYLOAD(&a));
      for (auto* info = static_cast<const rtattr*>(RTA_DATA(&a)); RTA_OK(info, length);
           info = RTA_NEXT(info, length)) {
        if (info->rta_type == IFLA_INFO_KIND && attribute_text(*info) == "dummy") linkless = true;
      }
    });
  });
  return answer != 0 || linkless;
}

}  // namespace

Uplink find_uplink(Ipv4Address source, Ipv4Address target) {
  if (source == Ipv4Address{}) return {};
  RouteNetlink netlink;
  if (!netlink.is_open()) return {};
  const unsigned index = interface_holding(netlink, source);
  if (index == 0) return {};
  // The route the tables give a request from the source. Through the
  // source's own interface, or none at all (the send then fails as it
  // would anyway): nothing to hold. (The common case, asked first.)
  const RouteEntry by_table = matched_entry(netlink, target, source, 0);
  if (by_table.answer < 0 || (by_table.answer == 0 && by_table.interface_index == index)) {
    return {};
  }
  if (is_linkless(netlink, index)) return {};
  // Through another interface, from a table that the host's rules select
  // for this source and not for others: the host routes this address on
  // purpose, and its choice stands.
  if (by_table.answer == 0) {
    const RouteEntry for_any = matched_entry(netlink, target, std::nullopt, 0);
    if (for_any.answer == 0 && for_any.table != by_table.table) return {};
  }
  const RouteEntry route = matched_entry(netlink, target, source, index);
  // Without an answer the request is still held to the interface: it must
  // never leave through another uplink.
  if (route.answer < 0) return {Uplink::Way::no_route, index};
  return {Uplink::Way::by_interface, index};
}

}  // namespace ketrova
