// uplink-probe: the probe of one uplink, named by its source address or its
// interface, as the systemd units run it (see monitor/launcher.h).
#include <csignal>
#include <string>
#include <vector>

#include "monitor/host.h"
#include "os/process.h"

int main(int argc, char** argv) {
  // Not the probe's prepare_process(): that would leave CAP_NET_RAW
  // inheritable no more, and the probe without it. run_launcher() deals
  // with the capabilities itself.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments = ketrova::process_arguments(argc, argv);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  ketrova::exit_process(ketrova::run_launcher(arguments));
}
