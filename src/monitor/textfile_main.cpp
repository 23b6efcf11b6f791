// prometheus-textfile UPLINK: one report line of the probe on standard input,
// its metrics for node_exporter's textfile collector on standard output.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/prometheus.h"

namespace {

// A report line is under a kilobyte; more than this is no report line.
constexpr std::size_t INPUT_LIMIT = 1 << 16;

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

[[noreturn]] void finish(const ketrova::ConverterResult& result) {
  if (!write_all(STDOUT_FILENO, result.out)) {
    const std::string message = std::string("prometheus-textfile: failed printing to stdout: ") +
                                std::strerror(errno) + '\n';
    write_all(STDERR_FILENO, message);
    std::_Exit(1);
  }
  write_all(STDERR_FILENO, result.err);
  std::_Exit(result.status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string input;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      finish({1, "",
              std::string("prometheus-textfile: failed reading stdin: ") + std::strerror(errno) +
                  '\n'});
    }
    if (n == 0) break;
    input.append(buffer, static_cast<std::size_t>(n));
    if (input.size() > INPUT_LIMIT) {
      finish({1, "", "prometheus-textfile: standard input holds more than one report line\n"});
    }
  }
  finish(ketrova::convert_report(arguments, input));
}
