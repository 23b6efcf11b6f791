#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "net/ipv4_address.h"

namespace ketrova {

// The way the requests from a source address leave the host.
//
// The platform's echo service sends a request whose source address is given
// through the interface that holds that address alone (the strong host
// model), by that interface's routes, decided for each request, and fails
// it as network unreachable where that interface has none to the target.
// Linux routes every packet by its tables whatever its source, so that on a
// host with a default route per uplink, a request from one uplink's address
// would leave through the other uplink. Here the socket is held to the
// interface, and each request is sent only while that interface has a route
// to the target.
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

class RouteNetlink;

// Route netlink, open for a whole series, asking as the user that the
// kernel routes the ICMP socket's packets as (its owner: the user that
// opened it, which for a set-user-ID install is not the caller). No
// privilege is needed.
class UplinkRoutes {
 public:
  explicit UplinkRoutes(uid_t socket_owner);
  ~UplinkRoutes();
  UplinkRoutes(const UplinkRoutes&) = delete;
  UplinkRoutes& operator=(const UplinkRoutes&) = delete;

  // The way for requests from `source` to `target`, found before the first
  // one. The tables decide, as they always did, for 0.0.0.0 (the kernel
  // chooses the source), for an address that this host does not hold (it
  // cannot be bound), for an address on the loopback interface or on a
  // dummy interface (routers probe from such addresses, which belong to no
  // one link), and where the host's rules choose a table for the source
  // address that they do not choose for other sources (source routing on
  // purpose). Every other address is held to its interface. Where the kernel
  // cannot be asked, or does not answer, the way is unknown: nothing that
  // could not be told ever means "by the tables".
  Uplink choose(Ipv4Address source, Ipv4Address target);

  // Whether the interface `interface_index` has a route to `target` for a
  // request from `source` now. False also where the kernel cannot be asked.
  bool has_route(Ipv4Address source, Ipv4Address target, unsigned interface_index);

 private:
  std::unique_ptr<RouteNetlink> netlink_;
  std::uint32_t owner_;
};

}  // namespace ketrova
