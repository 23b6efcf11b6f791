#pragma once

#include "report/report.h"

namespace ketrova {

// Writes the line to standard output and ends the process with status 0; on a
// write failure, writes a diagnostic to standard error and ends with status 1.
// Built into the program itself, over the process seam (os/process.h), not
// into the core that the tests link.
[[noreturn]] void write_report(const ProbeReport& report);

}  // namespace ketrova
