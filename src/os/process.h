#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ketrova {

// Process-wide setup before anything runs (on POSIX: SIGPIPE ignored, so a
// closed pipe is a write error rather than a silent death).
void prepare_process();

// The process arguments as UTF-8 texts, program name first. POSIX takes
// argv and repairs ill-formed UTF-8; Windows splits the UTF-16 command line.
std::vector<std::string> process_arguments(int argc, char** argv);

struct OutputResult {
  bool ok = true;
  std::string error_description;  // set when !ok
};

// Writes all bytes unchanged to standard output. A missing or invalid
// standard output counts as written.
OutputResult write_standard_output(std::string_view bytes);

// Best effort; failures are ignored.
void write_standard_error(std::string_view bytes);

[[noreturn]] void exit_process(int status);

}  // namespace ketrova
