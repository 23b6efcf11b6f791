#pragma once

#include "cli/ipv4.h"

namespace ketrova {

// The way a request from a source address to a target leaves the host.
//
// The platform's echo service sends a request whose source address is given
// through the interface that holds that address alone (the strong host
// model), by that interface's routes, and fails it as network unreachable
// where that interface has none to the target. Linux routes every packet by
// its tables whatever its source, so that on a host with a default route
// per uplink, a request from one uplink's address would leave through the
// other uplink. Here the request is held to the interface the same way.
struct Uplink {
  enum class Way {
    by_table,      // routed by the host's tables, whatever the interface
    by_interface,  // through `interface_index` alone, by its routes
    no_route,      // that interface has no route to the target
  };
  Way way = Way::by_table;
  unsigned interface_index = 0;
};

// Finds the way for `source` and `target` from the kernel's addresses, links
// and routes (route netlink; no privilege needed). The routing tables decide,
// as before, for 0.0.0.0 (the kernel chooses the source), for an address
// that this host does not hold, for an address on the loopback interface or
// on a dummy interface (routers probe from such addresses, which belong to
// no one link), and wherever the kernel cannot be asked. Where the host's
// rules choose a table for the source address that they do not choose for
// other sources (source routing), that table's route stands as well.
Uplink find_uplink(Ipv4Address source, Ipv4Address target);

}  // namespace ketrova
