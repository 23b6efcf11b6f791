#include "monitor/launcher.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

#include "main/probe.h"

namespace ketrova {
namespace {

template <typename T>
T read_at(const unsigned char* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// The attributes of one RTM_NEWADDR message (its payload after the
// ifaddrmsg), or nothing where they run past it.
std::optional<InterfaceAddress> read_address(const unsigned char* payload, std::size_t size) {
  if (size < NLMSG_ALIGN(sizeof(ifaddrmsg))) return std::nullopt;
  const auto message = read_at<ifaddrmsg>(payload);
  if (message.ifa_family != AF_INET) return InterfaceAddress{};
  std::optional<Ipv4Address> local, address;
  std::size_t offset = NLMSG_ALIGN(sizeof(ifaddrmsg));
  while (offset + sizeof(rtattr) <= size) {
    const auto attribute = read_at<rtattr>(payload + offset);
    if (attribute.rta_len < sizeof(rtattr) || offset + attribute.rta_len > size) {
      return std::nullopt;
    }
    const std::size_t length = attribute.rta_len - RTA_LENGTH(0);
    if ((attribute.rta_type == IFA_LOCAL || attribute.rta_type == IFA_ADDRESS) && length == 4) {
      Ipv4Address value;
      std::memcpy(value.octets.data(), payload + offset + RTA_LENGTH(0), 4);
      (attribute.rta_type == IFA_LOCAL ? local : address) = value;
    }
    offset += RTA_ALIGN(attribute.rta_len);
  }
  if (!local) local = address;
  if (!local) return InterfaceAddress{};
  return InterfaceAddress{message.ifa_index, (message.ifa_flags & IFA_F_SECONDARY) != 0, *local};
}

}  // namespace

std::optional<AddressDump> parse_address_dump(const unsigned char* data, std::size_t size) {
  AddressDump dump;
  std::size_t offset = 0;
  while (offset + sizeof(nlmsghdr) <= size) {
    const auto header = read_at<nlmsghdr>(data + offset);
    if (header.nlmsg_len < sizeof(nlmsghdr) || offset + header.nlmsg_len > size) {
      return std::nullopt;
    }
    if (header.nlmsg_type == NLMSG_DONE) {
      dump.done = true;
      return dump;
    }
    if (header.nlmsg_type == NLMSG_ERROR) return std::nullopt;
    if (header.nlmsg_type == RTM_NEWADDR) {
      const std::optional<InterfaceAddress> address =
          read_address(data + offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
      if (!address) return std::nullopt;
      // Messages of other families, or without an address, give index 0.
      if (address->interface_index != 0) dump.addresses.push_back(*address);
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  if (offset != size) return std::nullopt;
  return dump;
}

std::optional<Ipv4Address> primary_address(const std::vector<InterfaceAddress>& addresses,
                                           std::uint32_t interface_index) {
  for (const InterfaceAddress& address : addresses) {
    if (address.interface_index == interface_index && !address.secondary) return address.local;
  }
  return std::nullopt;
}

namespace {

// Digits and full stops (and the signs an address may carry) only: meant
// as an address, whatever else it could name.
bool looks_like_address(std::string_view text) {
  return text.find_first_not_of("0123456789.+ ") == std::string_view::npos &&
         text.find('.') != std::string_view::npos &&
         text.find_first_of("0123456789") != std::string_view::npos;
}

}  // namespace

bool is_interface_name(std::string_view text) {
  if (text.empty() || text.size() > 15 || text == "." || text == "..") return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f || c == '/' || c == ':') return false;
  }
  return true;
}

RunPlan plan_run(std::string_view instance, std::optional<std::string_view> target_text,
                 const std::function<InterfaceState(std::string_view)>& look_up) {
  RunPlan plan;
  const auto probe_from = [&](std::string source) {
    plan.action = RunPlan::Action::run_probe;
    plan.probe_arguments = {"--src-ip", std::move(source)};
    if (target_text) {
      plan.probe_arguments.emplace_back("--target-ip");
      plan.probe_arguments.emplace_back(*target_text);
    }
    return plan;
  };
  // An instance that is an address (or meant as one) stays the text it is,
  // as the probe reports a source text.
  if (parse_ipv4(instance) || looks_like_address(instance)) {
    return probe_from(std::string(instance));
  }
  if (is_interface_name(instance)) {
    const InterfaceState state = look_up(instance);
    if (state.primary) return probe_from(format_ipv4(*state.primary));
    if (!state.exists) {
      plan.message = "no interface \"" + std::string(instance) +
                     "\" on this host now: its uplink reported as down, nothing sent";
    }
    const std::string_view target = target_text.value_or(DEFAULT_TARGET);
    plan.action = RunPlan::Action::report;
    ProbeReport& report = plan.report;
    report.src_ip = instance;
    report.target_ip = target;
    if (!parse_ipv4(target)) {
      report.note = "invalid --target-ip";
      return plan;
    }
    report.sent = PROBE_COUNT;
    report.note = "source bind failed (WinError 1231)";
    return plan;
  }
  plan.action = RunPlan::Action::fail;
  plan.message = "uplink \"" + std::string(instance) +
                 "\" is neither an IPv4 address nor a network interface of this host";
  return plan;
}

std::optional<LauncherOptions> parse_launcher_arguments(const std::vector<std::string>& arguments,
                                                        std::string& error) {
  LauncherOptions options;
  std::vector<std::string> operands;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::string* value = nullptr;
    if (argument == "--last-report") value = &options.last_report;
    if (argument == "--metrics") value = &options.metrics;
    if (argument == "--publish") {
      options.mode = LauncherOptions::Mode::publish;
      continue;
    }
    if (value == nullptr) {
      if (argument.size() > 1 && argument[0] == '-' && argument != "--") {
        error = "unknown option " + argument;
        return std::nullopt;
      }
      if (argument == "--") {
        operands.insert(operands.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        arguments.end());
        break;
      }
      operands.push_back(argument);
      continue;
    }
    if (i + 1 == arguments.size() || arguments[i + 1].empty()) {
      error = argument + " needs a file name";
      return std::nullopt;
    }
    *value = arguments[++i];
  }
  if (options.mode == LauncherOptions::Mode::publish) {
    if (operands.size() != 2 || !options.last_report.empty() || !options.metrics.empty()) {
      error = "usage: uplink-probe --publish SOURCE DESTINATION";
      return std::nullopt;
    }
    options.source = operands[0];
    options.destination = operands[1];
    return options;
  }
  if (operands.size() != 1) {
    error = "usage: uplink-probe [--last-report FILE] [--metrics FILE] ADDRESS|INTERFACE";
    return std::nullopt;
  }
  options.instance = operands[0];
  return options;
}

std::string temporary_path_beside(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t name = slash == std::string_view::npos ? 0 : slash + 1;
  return std::string(path.substr(0, name)) + "." + std::string(path.substr(name)) + ".tmp";
}

std::string format_launcher_error(std::string_view message, bool to_journal) {
  return (to_journal ? "<3>" : "") + std::string("uplink-probe: ") + std::string(message) + "\n";
}

std::string format_launcher_warning(std::string_view message, bool to_journal) {
  return (to_journal ? "<4>" : "") + std::string("uplink-probe: ") + std::string(message) + "\n";
}

}  // namespace ketrova
