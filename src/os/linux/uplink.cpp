#include "os/linux/uplink.h"

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
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

// A route netlink socket that asks one thing at a time and waits for the
// kernel's answer.
class RouteNetlink {
 public:
  RouteNetlink()
      : fd_(away_from_standard_streams(
            ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE))),
        buffer_(32 * 1024) {
    // The kernel answers at once; never hang on it.
    const timeval limit{0, 500'000};
    if (fd_ >= 0) (void)::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~RouteNetlink() {
    if (fd_ >= 0) ::close(fd_);
  }
  RouteNetlink(const RouteNetlink&) = delete;
  RouteNetlink& operator=(const RouteNetlink&) = delete;

  bool is_open() const { return fd_ >= 0; }

  // Sends `request` and hands each message of the answer to `on_message`.
  // 0 when the kernel answered, its error (a negative errno) when it
  // refused; kNoAnswer when the socket failed.
  static constexpr int kNoAnswer = 1;
  template <typename Body, typename OnMessage>
  int ask(Request<Body>& request, OnMessage&& on_message) {
    request.header.nlmsg_seq = ++sequence_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
      return kNoAnswer;
    }
    const bool dump = (request.header.nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    for (;;) {
      ssize_t size = 0;
      do {
        size = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_TRUNC);
      } while (size < 0 && errno == EINTR);
      if (size <= 0 || static_cast<std::size_t>(size) > buffer_.size()) return kNoAnswer;
      int left = static_cast<int>(size);
      for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer_.data()); NLMSG_OK(m, left);
           m = NLMSG_NEXT(m, left)) {
        if (m->nlmsg_seq != sequence_) continue;
        if (m->nlmsg_type == NLMSG_DONE) return 0;
        if (m->nlmsg_type == NLMSG_ERROR) {
          if (m->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return kNoAnswer;
          nlmsgerr error{};
          std::memcpy(&error, NLMSG_DATA(m), sizeof error);
          return error.error;
        }
        on_message(*m);
        if (!dump) return 0;
      }
    }
  }

 private:
  int fd_;
  std::uint32_t sequence_ = 0;
  std::vector<std::uint8_t> buffer_;
};

// The interface that holds `source`; 0 where none does.
unsigned interface_holding(RouteNetlink& netlink, Ipv4Address source) {
  Request<ifaddrmsg> request(RTM_GETADDR, NLM_F_DUMP);
  request.body.ifa_family = AF_INET;
  const std::uint32_t wanted = to_network_order(source);
  unsigned found = 0;
  const int answer = netlink.ask(request, [&](const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWADDR || found != 0) return;
    ifaddrmsg address{};
    std::memcpy(&address, NLMSG_DATA(&message), sizeof address);
    // The local address; on a point-to-point link IFA_ADDRESS is the peer's.
    std::uint32_t local = 0, any = 0;
    bool has_local = false;
    each_attribute<ifaddrmsg>(message, [&](const rtattr& a) {
      if (RTA_PAYLOAD(&a) != sizeof local) return;
      if (a.rta_type == IFA_LOCAL) {
        std::memcpy(&local, RTA_DATA(&a), sizeof local);
        has_local = true;
      } else if (a.rta_type == IFA_ADDRESS) {
        std::memcpy(&any, RTA_DATA(&a), sizeof any);
      }
    });
    if ((has_local ? local : any) == wanted) found = address.ifa_index;
  });
  return answer == 0 ? found : 0;
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

// Whether the interface has a route of its own to `target` for requests from
// `source`, in whatever table the host's rules select for them. Asked for
// the routing entry that matched: with an output interface named and no
// route through it, the kernel would take the target for a neighbour on that
// link, and only the entry (there is none) tells the two apart.
// Nothing when the kernel gave no answer.
std::optional<bool> has_route(RouteNetlink& netlink, Ipv4Address source, Ipv4Address target,
                              unsigned index) {
  Request<rtmsg> request(RTM_GETROUTE, 0);
  request.body.rtm_family = AF_INET;
  request.body.rtm_dst_len = 32;
  request.body.rtm_src_len = 32;
  request.body.rtm_flags = RTM_F_FIB_MATCH;
  request.add(RTA_DST, to_network_order(target));
  request.add(RTA_SRC, to_network_order(source));
  request.add(RTA_OIF, static_cast<std::uint32_t>(index));
  request.add(RTA_IP_PROTO, static_cast<std::uint8_t>(IPPROTO_ICMP));
  const int answer = netlink.ask(request, [](const nlmsghdr&) {});
  if (answer == RouteNetlink::kNoAnswer) return std::nullopt;
  return answer == 0;
}

}  // namespace

Uplink find_uplink(Ipv4Address source, Ipv4Address target) {
  if (source == Ipv4Address{}) return {};
  RouteNetlink netlink;
  if (!netlink.is_open()) return {};
  const unsigned index = interface_holding(netlink, source);
  if (index == 0 || is_linkless(netlink, index)) return {};
  // Without an answer the request is still held to the interface: it must
  // never leave through another uplink.
  if (has_route(netlink, source, target, index) == false) return {Uplink::Way::no_route, index};
  return {Uplink::Way::by_interface, index};
}

}  // namespace ketrova
