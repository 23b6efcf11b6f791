#include "os/linux/privileges.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace ketrova {
namespace {

// The three capability sets, each as two 32-bit words.
struct CapabilitySets {
  __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3]{};
};

bool get_capabilities(CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, sets.words) == 0;
}

bool set_capabilities(const CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, sets.words) == 0;
}

// Every group ID, then every user ID, becomes the real one (the caller's):
// a process may always set its IDs to its real ones, privileged or not.
// Nothing is done where they are all the same already.
bool become_caller() {
  const gid_t group = ::getgid();
  const uid_t user = ::getuid();
  gid_t real_group = 0, effective_group = 0, saved_group = 0;
  uid_t real_user = 0, effective_user = 0, saved_user = 0;
  if (::getresgid(&real_group, &effective_group, &saved_group) != 0 ||
      ::getresuid(&real_user, &effective_user, &saved_user) != 0) {
    return false;
  }
  if (effective_group != group || saved_group != group) {
    if (::setresgid(group, group, group) != 0) return false;
  }
  if (effective_user != user || saved_user != user) {
    if (::setresuid(user, user, user) != 0) return false;
  }
  return true;
}

// Whether every user and group ID is the real one.
bool is_caller() {
  gid_t groups[3]{};
  uid_t users[3]{};
  if (::getresgid(&groups[0], &groups[1], &groups[2]) != 0 ||
      ::getresuid(&users[0], &users[1], &users[2]) != 0) {
    return false;
  }
  return groups[1] == groups[0] && groups[2] == groups[0] && users[1] == users[0] &&
         users[2] == users[0];
}

constexpr std::uint32_t NET_RAW_BIT = 1u << CAP_NET_RAW;  // CAP_NET_RAW is in the first word
static_assert(CAP_NET_RAW < 32);

// Nothing effective, nothing inheritable (and so nothing ambient), and
// nothing permitted but CAP_NET_RAW.
bool is_limited(const CapabilitySets& sets) {
  for (std::size_t i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
    const std::uint32_t allowed = i == 0 ? NET_RAW_BIT : 0;
    const __user_cap_data_struct& word = sets.words[i];
    if (word.effective != 0 || word.inheritable != 0 || (word.permitted & ~allowed) != 0) {
      return false;
    }
  }
  return true;
}

bool limited_at_start = false;

}  // namespace

bool limit_capabilities() {
  CapabilitySets sets;
  if (get_capabilities(sets)) {
    CapabilitySets limited;
    limited.words[0].permitted = sets.words[0].permitted & NET_RAW_BIT;
    // Without it in the inheritable set the ambient set is emptied too.
    (void)set_capabilities(limited);
  }
  // Trust what the kernel reports now, not what the call returned.
  CapabilitySets now;
  limited_at_start = get_capabilities(now) && is_limited(now);
  return limited_at_start;
}

bool capabilities_limited() {
  return limited_at_start;
}

bool raise_net_raw() {
  // Whatever else was permitted went at start; the kernel refuses this
  // where CAP_NET_RAW is not permitted.
  CapabilitySets sets;
  sets.words[0].permitted = NET_RAW_BIT;
  sets.words[0].effective = NET_RAW_BIT;
  return set_capabilities(sets);
}

bool give_up_privileges() {
  const CapabilitySets none;
  const bool cleared = set_capabilities(none);
  const bool locked = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  const bool caller = become_caller();
  // Trust what the kernel reports now, not what the calls returned.
  CapabilitySets now;
  if (!cleared || !locked || !caller || !is_caller() || !get_capabilities(now)) return false;
  // An empty permitted set leaves the ambient set empty as well.
  for (const __user_cap_data_struct& word : now.words) {
    if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) return false;
  }
  return ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}

}  // namespace ketrova
