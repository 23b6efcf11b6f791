#include <memory>
#include <string>
#include <vector>

#include "echo/echo_service.h"
#include "main/probe.h"
#include "os/process.h"
#include "report/write_report.h"

int main(int argc, char** argv) {
  ketrova::prepare_process();
  const std::vector<std::string> arguments = ketrova::process_arguments(argc, argv);
  const std::unique_ptr<ketrova::IcmpEchoService> icmp = ketrova::make_icmp_echo_service();
  ketrova::write_report(ketrova::run_probe(arguments, *icmp));
}
