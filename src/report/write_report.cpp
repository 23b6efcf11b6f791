#include "report/write_report.h"

#include "os/process.h"

namespace ketrova {

void write_report(const ProbeReport& report) {
  const OutputResult result = write_standard_output(format_report_line(report));
  if (!result.ok) {
    write_standard_error(format_output_failure("stdout", result.error_description));
    exit_process(1);
  }
  exit_process(0);
}

}  // namespace ketrova
