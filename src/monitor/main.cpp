// uplink-probe: the probe of one uplink, named by its source address or its
// interface, as the systemd units run it (see monitor/uplink.h).
#include <string>
#include <vector>

#include "monitor/host.h"
#include "os/process.h"

int main(int argc, char** argv) {
  ketrova::prepare_process();
  std::vector<std::string> arguments = ketrova::process_arguments(argc, argv);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  ketrova::exit_process(ketrova::run_launcher(arguments));
}
