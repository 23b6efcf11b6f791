#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/launcher.h"

namespace ketrova {

// The launcher's dealings with the host (Linux).

// The interface's index and its addresses now, read from route netlink
// (RTM_GETADDR). An interface that exists without an IPv4 address has no
// primary; nothing at all where the addresses could not be read.
std::optional<InterfaceState> look_up_interface(std::string_view name);

// Capabilities. The unit hands CAP_NET_RAW down as an ambient capability for
// the probe; the launcher itself never uses it. At start it is taken out of
// the effective set (left permitted and inheritable, so that the ambient set
// still hands it to the probe at exec); once the probe runs, every set is
// emptied.
void stop_using_capabilities();
void give_up_capabilities();

struct ChildResult {
  bool ran = false;  // started, and ended by exit with `status`
  int status = 0;
  std::string output;  // its standard output
  std::string error;   // why it did not run, where it did not
};

// Runs a program with `input` on its standard input (nothing: /dev/null)
// and its standard output captured; its standard error is the launcher's.
// give_up_capabilities() runs in the launcher once the child is started.
ChildResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                        const std::optional<std::string>& input);

// Replaces the file at `path` with `contents` whole: written to
// temporary_path_beside(path), mode 0644, flushed to disk, then renamed over
// it, so that a reader sees the old file or the new one and never a part.
// An error text where it failed.
std::optional<std::string> replace_file(const std::string& path, std::string_view contents);

// The whole contents of a file, or nothing with a message in error.
std::optional<std::string> read_file(const std::string& path, std::string& error);

// The launcher's run: its exit status.
int run_launcher(const std::vector<std::string>& arguments);

}  // namespace ketrova
