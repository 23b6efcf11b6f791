#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/utf.h"
#include "os/process.h"

namespace ketrova {

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> process_arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  arguments.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i) arguments.push_back(repair_utf8(argv[i]));
  return arguments;
}

OutputResult write_standard_output(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return {};  // no standard output: nothing to write to
      return {false, std::strerror(errno)};
    }
    if (written == 0) return {false, std::strerror(EIO)};
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

void write_standard_error(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void exit_process(int status) {
  ::_exit(status);
}

}  // namespace ketrova
