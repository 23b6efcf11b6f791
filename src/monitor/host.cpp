#include "monitor/host.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/process.h"

#ifndef KETROVA_PROBE_PROGRAM
#define KETROVA_PROBE_PROGRAM "/usr/bin/ketrova-probe"
#endif
#ifndef KETROVA_TEXTFILE_PROGRAM
#define KETROVA_TEXTFILE_PROGRAM "/usr/lib/ketrova-probe/prometheus-textfile"
#endif

namespace ketrova {
namespace {

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool read_all(int fd, std::string& into) {
  std::array<char, 4096> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    into.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

struct CapabilitySets {
  __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3]{};
};

}  // namespace

std::optional<InterfaceState> look_up_interface(std::string_view name) {
  const std::string text(name);
  const unsigned index = ::if_nametoindex(text.c_str());
  if (index == 0) return InterfaceState{};
  FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (fd.get() < 0) return std::nullopt;
  struct {
    nlmsghdr header;
    ifaddrmsg message;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.message.ifa_family = AF_INET;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
    return std::nullopt;
  }
  std::vector<InterfaceAddress> addresses;
  std::vector<unsigned char> buffer(32768);
  for (;;) {
    const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    const std::optional<AddressDump> dump =
        parse_address_dump(buffer.data(), static_cast<std::size_t>(got));
    if (!dump) return std::nullopt;
    addresses.insert(addresses.end(), dump->addresses.begin(), dump->addresses.end());
    if (dump->done) break;
  }
  return InterfaceState{true, primary_address(addresses, index)};
}

void stop_using_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  CapabilitySets sets;
  if (::syscall(SYS_capget, &header, sets.words) != 0) return;
  for (__user_cap_data_struct& word : sets.words) word.effective = 0;
  (void)::syscall(SYS_capset, &header, sets.words);
}

void give_up_capabilities() {
  (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  const CapabilitySets none;
  (void)::syscall(SYS_capset, &header, none.words);
}

ChildResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                        const std::optional<std::string>& input) {
  ChildResult result;
  int output_pipe[2];
  int input_pipe[2] = {-1, -1};
  if (::pipe2(output_pipe, O_CLOEXEC) != 0) {
    result.error = errno_text("pipe");
    return result;
  }
  FileDescriptor output_read(output_pipe[0]), output_write(output_pipe[1]);
  if (input && ::pipe2(input_pipe, O_CLOEXEC) != 0) {
    result.error = errno_text("pipe");
    return result;
  }
  FileDescriptor input_read(input_pipe[0]), input_write(input_pipe[1]);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0) {
    result.error = errno_text("fork");
    return result;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    const int in = input ? input_read.get() : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(output_write.get(), STDOUT_FILENO) < 0) {
      ::_exit(127);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);  // the launcher says so
  }
  give_up_capabilities();
  output_write.reset();
  input_read.reset();
  bool fed = true;
  if (input) {
    fed = write_all(input_write.get(), *input);
    input_write.reset();
  }
  const bool read = read_all(output_read.get(), result.output);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      result.error = errno_text("waitpid");
      return result;
    }
  }
  if (!WIFEXITED(status)) {
    result.error = program + " ended by signal " + std::to_string(WTERMSIG(status));
    return result;
  }
  if (!fed || !read) {
    result.error = "the pipe to " + program + " failed";
    return result;
  }
  result.ran = WEXITSTATUS(status) != 127;
  result.status = WEXITSTATUS(status);
  if (!result.ran) result.error = "cannot run " + program;
  return result;
}

std::optional<std::string> replace_file(const std::string& path, std::string_view contents) {
  const std::string temporary = temporary_path_beside(path);
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno_text(temporary.c_str());
  // The mode whatever the umask (the units run with 0077): every user reads it.
  bool written = ::fchmod(fd, 0644) == 0 && write_all(fd, contents) && ::fsync(fd) == 0;
  std::string error = written ? std::string() : errno_text(temporary.c_str());
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno_text(temporary.c_str());
  }
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    error = errno_text(path.c_str());
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return error;
  }
  return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path, std::string& error) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string contents;
  if (fd.get() < 0 || !read_all(fd.get(), contents)) {
    error = errno_text(path.c_str());
    return std::nullopt;
  }
  return contents;
}

namespace {

int fail(std::string_view message) {
  write_standard_error(format_launcher_error(message, std::getenv("JOURNAL_STREAM") != nullptr));
  return 1;
}

// The report line of this run, or nothing where it failed (said on
// standard error).
std::optional<std::string> report_line(const LauncherOptions& options) {
  const char* target = std::getenv("TARGET_IP");
  const std::optional<std::string_view> target_text =
      target ? std::optional<std::string_view>(target) : std::nullopt;
  std::string lookup_error;
  const RunPlan plan = plan_run(options.instance, target_text, [&](std::string_view name) {
    const std::optional<InterfaceState> state = look_up_interface(name);
    if (!state) lookup_error = errno_text("the addresses of the host could not be read");
    return state.value_or(InterfaceState{});
  });
  if (!lookup_error.empty()) {
    fail(lookup_error);
    return std::nullopt;
  }
  switch (plan.action) {
    case RunPlan::Action::fail:
      fail(plan.message);
      return std::nullopt;
    case RunPlan::Action::report:
      give_up_capabilities();
      if (!plan.message.empty()) {
        write_standard_error(
            format_launcher_warning(plan.message, std::getenv("JOURNAL_STREAM") != nullptr));
      }
      return format_report_line(plan.report);
    case RunPlan::Action::run_probe:
      break;
  }
  const ChildResult probe = run_program(KETROVA_PROBE_PROGRAM, plan.probe_arguments, std::nullopt);
  if (!probe.ran) {
    fail(probe.error);
    return std::nullopt;
  }
  if (probe.status != 0 || probe.output.empty() || probe.output.back() != '\n') {
    fail(std::string(KETROVA_PROBE_PROGRAM) + " exited with status " +
         std::to_string(probe.status) + " and no report line");
    return std::nullopt;
  }
  return probe.output;
}

}  // namespace

int run_launcher(const std::vector<std::string>& arguments) {
  stop_using_capabilities();
  std::string error;
  const std::optional<LauncherOptions> options = parse_launcher_arguments(arguments, error);
  if (!options) return fail(error);
  if (options->mode == LauncherOptions::Mode::publish) {
    give_up_capabilities();
    const std::optional<std::string> contents = read_file(options->source, error);
    if (!contents) return fail(error);
    if (const auto failure = replace_file(options->destination, *contents)) return fail(*failure);
    return 0;
  }

  const std::optional<std::string> line = report_line(*options);
  if (!line) return 1;
  // The line in the journal first, whatever happens to the files.
  const OutputResult written = write_standard_output(*line);
  if (!written.ok) return fail(format_output_failure("stdout", written.error_description));
  if (!options->last_report.empty()) {
    if (const auto failure = replace_file(options->last_report, *line)) return fail(*failure);
  }
  if (!options->metrics.empty()) {
    const ChildResult converter = run_program(KETROVA_TEXTFILE_PROGRAM, {options->instance}, *line);
    if (!converter.ran) return fail(converter.error);
    if (converter.status != 0) {
      return fail(std::string(KETROVA_TEXTFILE_PROGRAM) + " exited with status " +
                  std::to_string(converter.status));
    }
    if (const auto failure = replace_file(options->metrics, converter.output)) {
      return fail(*failure);
    }
  }
  return 0;
}

}  // namespace ketrova
