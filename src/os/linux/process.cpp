#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/utf.h"
#include "os/linux/privileges.h"
#include "os/process.h"

namespace ketrova {

void prepare_process() {
  // Before anything else, and before any argument is looked at: no
  // capability effective, and none kept but the one the ICMP socket needs.
  // Where that fails, the echo service opens nothing (capabilities_limited).
  (void)limit_capabilities();
  std::signal(SIGPIPE, SIG_IGN);
}

namespace {

// Waits until `fd` takes more bytes (standard output may be a non-blocking
// pipe that is full for now). False when it never will.
bool wait_writable(int fd) {
  pollfd descriptor{fd, POLLOUT, 0};
  for (;;) {
    const int ready = ::poll(&descriptor, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

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
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EBADF) return {};  // no standard output: nothing to write to
      if ((error == EAGAIN || error == EWOULDBLOCK) && wait_writable(STDOUT_FILENO)) continue;
      return {false, std::strerror(error)};
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
