// check_ketrova_probe --src-ip ADDRESS [--target-ip ADDRESS]: runs the probe
// installed at KETROVA_PLUGIN_PROBE (fixed when the plugin is built, so that
// nothing in its environment or command line can make it run another
// program) and prints its verdict as a monitoring plugin.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/plugin.h"

#ifndef KETROVA_PLUGIN_PROBE
#error "KETROVA_PLUGIN_PROBE: the probe's installed path"
#endif
#ifndef KETROVA_VERSION
#error "KETROVA_VERSION: the package version"
#endif

namespace {

constexpr std::string_view PROBE = KETROVA_PLUGIN_PROBE;
// A series takes at most ten seconds; the plugin ends within twelve.
constexpr int DEADLINE_SECONDS = 11;
constexpr std::size_t OUTPUT_LIMIT = 1 << 16;

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Runs the probe with the given arguments, standard input from /dev/null,
// standard error discarded and an empty environment, and collects its
// standard output until it exits or the deadline passes (then it is killed).
ketrova::ProbeRun run_probe(const std::vector<std::string>& arguments) {
  ketrova::ProbeRun run;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    run.spawn_error = errno;
    return run;
  }
  std::string program(PROBE);
  std::vector<char*> argv{program.data()};
  std::vector<std::string> copies(arguments);
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    run.spawn_error = spawned;
    return run;
  }

  const long long deadline = now_ms() + DEADLINE_SECONDS * 1000LL;
  char buffer[4096];
  for (;;) {
    const long long left = deadline - now_ms();
    if (left <= 0) {
      run.timed_out = true;
      break;
    }
    pollfd fd{pipe_fds[0], POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
    if (run.output.size() > OUTPUT_LIMIT) break;
  }
  close(pipe_fds[0]);
  if (run.timed_out) kill(pid, SIGKILL);
  int status = 0;
  // After the end of its output the probe exits at once; a probe that
  // holds on anyway is killed at the deadline.
  for (;;) {
    const pid_t done = waitpid(pid, &status, run.timed_out ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) break;
    if (now_ms() >= deadline) {
      run.timed_out = true;
      kill(pid, SIGKILL);
      continue;
    }
    usleep(10000);
  }
  if (!run.timed_out) {
    if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  }
  return run;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

[[noreturn]] void finish(std::string_view text, int status) {
  write_all(STDOUT_FILENO, text);
  std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ketrova::PluginArguments parsed = ketrova::parse_plugin_arguments(arguments);
  if (!parsed.error.empty()) {
    const ketrova::PluginOutcome outcome = ketrova::plugin_failure(parsed.error);
    finish(outcome.line + '\n' + ketrova::plugin_usage(), static_cast<int>(outcome.state));
  }
  if (parsed.help) finish(ketrova::plugin_usage(), 0);
  if (parsed.version) finish("check_ketrova_probe " KETROVA_VERSION "\n", 0);
  const ketrova::ProbeRun run = run_probe(ketrova::probe_arguments(parsed));
  const ketrova::PluginOutcome outcome = ketrova::check_outcome(run, PROBE, DEADLINE_SECONDS);
  finish(outcome.line + '\n', static_cast<int>(outcome.state));
}
