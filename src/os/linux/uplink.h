#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "net/ipv4_address.h"

namespace ketrova {

// The way the requests from a source address leave the host.
//
// The platform's echo service sends a request whose source address is given
// through the interface that holds that address alone (the strong host
// model), by that interface's routes, decided for each request, and fails
// it as network unreachable where that interface has none to the target, or
// no carrier. Linux routes every packet by its tables whatever its source,
// so that on a host with a default route per uplink, a request from one
// uplink's address would leave through the other uplink. Here the socket is
// held to the interface, and each request is sent only while that interface
// still holds the address, has carrier and has a route to the target.
struct Uplink {
  enum class Way {
    by_table,      // routed by the host's tables, whatever the interface
    by_interface,  // through `interface_index` alone, by its routes
    unknown,       // the interface could not be told: nothing is sent
  };
  Way way = Way::unknown;
  unsigned interface_index = 0;
  std::string interface_name;  // empty where the kernel did not say
};

// Route netlink as the uplink choice sees it: questions written, datagrams
// read, never waiting. The kernel's socket (open_route_netlink) also hears
// of every change to links, addresses, routes, rules and next-hop objects;
// a test hands in a host of its own.
class RouteNetlinkChannel {
 public:
  virtual ~RouteNetlinkChannel() = default;
  // Sends one question whole; false where it was not taken.
  virtual bool send(std::span<const std::uint8_t> question) = 0;
  // Reads the next datagram queued into `buffer`: its whole length, which is
  // more than the buffer's where the rest was cut off, or a negative errno
  // (-EAGAIN: nothing queued; -ENOBUFS: news of changes was lost).
  virtual long receive(std::span<std::uint8_t> buffer) = 0;
  // The port that answers to this channel's questions carry; news of a
  // change carries the port of whoever made it (0 for the kernel).
  virtual std::uint32_t port() const = 0;
  // Whether news of changes to next-hop objects is heard too (kernels
  // without them have none to change; some emulators pass none).
  virtual bool hears_next_hop_objects() const { return true; }
};

// The kernel's route netlink, subscribed to the news of changes before it
// is first asked anything; nullptr where it cannot be opened.
std::unique_ptr<RouteNetlinkChannel> open_route_netlink();

class RouteNetlink;

// Route netlink, open for a whole series, asking as the user that the
// kernel routes the ICMP socket's packets as (its owner: the user that
// opened it, which for a set-user-ID install is not the caller). No
// privilege is needed.
class UplinkRoutes {
 public:
  explicit UplinkRoutes(uid_t socket_owner);
  UplinkRoutes(uid_t socket_owner, std::unique_ptr<RouteNetlinkChannel> channel);
  ~UplinkRoutes();
  UplinkRoutes(const UplinkRoutes&) = delete;
  UplinkRoutes& operator=(const UplinkRoutes&) = delete;

  // The way for requests from `source` to `target`, found before the first
  // one. The tables decide, as they always did, for 0.0.0.0 (the kernel
  // chooses the source), for an address that this host does not hold (it
  // cannot be bound), for an address on the loopback interface or on a
  // dummy interface (routers probe from such addresses, which belong to no
  // one link), and where the host's rules choose a table for the source
  // address that they do not choose for other sources and whose route to
  // the target does not go through the address's interface (source routing
  // on purpose; a multipath route with a next hop there is held to it).
  // Every other address is held to its interface, also where the link
  // itself cannot be told. Where the kernel cannot be asked where the
  // address is, or does not answer, the way is unknown: nothing that could
  // not be told ever means "by the tables".
  Uplink choose(Ipv4Address source, Ipv4Address target);

  // Whether a request from `source` to `target`, held to `uplink`'s
  // interface, may be sent now: the interface still holds the address (the
  // same interface: not moved away, not deleted and made again), has
  // carrier, and has a route to the target. The kernel is asked again only
  // where something changed since the last answer that allowed it (news of
  // a change, news lost, anything in doubt); false also where it cannot be
  // asked.
  bool may_send(Ipv4Address source, Ipv4Address target, const Uplink& uplink);

 private:
  // Asks the kernel; `lasting`: the answer holds until news of a change.
  bool ask_may_send(Ipv4Address source, Ipv4Address target, unsigned interface_index,
                    bool& lasting);

  std::unique_ptr<RouteNetlink> netlink_;
  std::uint32_t owner_;
  // The last request allowed, while nothing has changed since.
  bool cleared_ = false;
  Ipv4Address cleared_source_{};
  Ipv4Address cleared_target_{};
  unsigned cleared_index_ = 0;
};

}  // namespace ketrova
