#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ipv4.h"
#include "report/report.h"

namespace ketrova {

// The uplink launcher: the instance of a timer is either a source address
// or the name of an interface, whose primary IPv4 address is read at each
// run. These are its decisions, free of any system call.

// One IPv4 address of an interface, as route netlink reports it.
struct InterfaceAddress {
  std::uint32_t interface_index = 0;
  bool secondary = false;
  Ipv4Address local;
};

// Reads the messages of one RTM_GETADDR dump (as many netlink messages as
// one receive gives) into the addresses they hold, in the kernel's order.
// The address is the local one (IFA_LOCAL, which differs from IFA_ADDRESS on
// a point-to-point link, where the latter is the peer), IFA_ADDRESS where
// there is no IFA_LOCAL. done is set on NLMSG_DONE; an NLMSG_ERROR message
// or a malformed one yields nothing.
struct AddressDump {
  std::vector<InterfaceAddress> addresses;
  bool done = false;
};
std::optional<AddressDump> parse_address_dump(const unsigned char* data, std::size_t size);

// The primary address of an interface: the first of its addresses that is
// not secondary, as `ip -4 addr show dev NAME` lists them.
std::optional<Ipv4Address> primary_address(const std::vector<InterfaceAddress>& addresses,
                                           std::uint32_t interface_index);

// Whether a text can be the name of a network interface at all: 1 to 15
// bytes, none of them a slash, a colon or white space, and not "." or "..".
bool is_interface_name(std::string_view text);

// What the host says about an instance that is not an address.
struct InterfaceState {
  bool exists = false;
  std::optional<Ipv4Address> primary;
};

// What one run does.
struct RunPlan {
  enum class Action {
    run_probe,  // the probe, with probe_arguments (after the program name)
    report,     // no probe: the report line of `report`
    fail,       // no report: `message` on standard error, a status other than 0
  };
  Action action = Action::fail;
  std::vector<std::string> probe_arguments;
  ProbeReport report;
  std::string message;  // fail: why; report: a warning to go with the line, or empty
};

// The plan for an instance, with the target text where one is configured
// (TARGET_IP) and the host's view of the interface (asked only when the
// instance is not an address).
//
// - An address (as the probe itself parses it): the probe from it.
// - An interface with a primary address: the probe from that address.
// - A text of digits and full stops that is no address: the probe from it,
//   which reports it as an invalid --src-ip (the configuration's fault, not
//   the uplink's).
// - An interface with no IPv4 address: the uplink is down, and nothing is
//   sent from any other address. The report is the probe's row for a series
//   whose every request failed to bind its source ("unavailable", sent 10,
//   received 0, loss 100, note "source bind failed (WinError 1231)"), with
//   the interface's name as src_ip; where the target text is not an
//   address, the probe's "invalid --target-ip" row instead, the same name as
//   src_ip.
// - A name that an interface can have, but no interface of the host has now
//   (a PPP or tunnel interface goes away while its link is down): the same
//   row, the uplink down, with a warning that names it, so that a dead
//   uplink never leaves its last good line standing.
// - Anything else: a failure naming the instance.
RunPlan plan_run(std::string_view instance, std::optional<std::string_view> target_text,
                 const std::function<InterfaceState(std::string_view)>& look_up);

// The launcher's command line, after the program name:
//   [--last-report PATH] [--metrics PATH] INSTANCE
//   --publish SOURCE DESTINATION
struct LauncherOptions {
  enum class Mode { probe, publish };
  Mode mode = Mode::probe;
  std::string instance;
  std::string last_report;  // where the report line is kept, if anywhere
  std::string metrics;      // where the line's metrics are kept, if anywhere
  std::string source;       // --publish
  std::string destination;  // --publish
};
// Nothing, with a message in error, where the arguments do not fit.
std::optional<LauncherOptions> parse_launcher_arguments(const std::vector<std::string>& arguments,
                                                        std::string& error);

// The name of the file beside `path` that is written and then renamed over
// it: ".NAME.tmp" in the same directory (node_exporter's textfile collector
// reads only names ending in ".prom", agents only the name they were given).
std::string temporary_path_beside(std::string_view path);

// A line for standard error. Under the journal (JOURNAL_STREAM set), with
// the kernel-style prefix that gives it the priority "err", so that the
// report lines, at "info", can be told from it.
std::string format_launcher_error(std::string_view message, bool to_journal);
// The same for a warning that goes with a report line (priority "warning").
std::string format_launcher_warning(std::string_view message, bool to_journal);

}  // namespace ketrova
