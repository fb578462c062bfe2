// "SeDebugPrivilege" on Linux: the power to signal processes of other users
// is CAP_KILL in the effective set. Capabilities are per thread here, which
// matches how the callers use the privilege (enable, act, disable on one
// thread).
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string_view>

#include "base/system.h"

namespace base::system {
namespace {

struct Caps {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

bool Get(Caps* caps) { return ::syscall(SYS_capget, &caps->header, caps->data) == 0; }
bool Set(Caps* caps) { return ::syscall(SYS_capset, &caps->header, caps->data) == 0; }

constexpr unsigned kBit = 1u << (CAP_KILL % 32);
constexpr int kWord = CAP_KILL / 32;

// Whether the last enable on this thread had to raise the capability: only
// then does disable lower it again, so a process that holds it from the
// start keeps it.
thread_local bool t_raised = false;

}  // namespace

bool PrivilegeToken::AdjustPrivilegeToken(bool enable, const wchar_t* privilege) {
  if (privilege == nullptr || std::wstring_view(privilege) != L"SeDebugPrivilege") return false;
  Caps caps;
  if (!Get(&caps)) return false;
  const bool effective = (caps.data[kWord].effective & kBit) != 0;
  if (enable) {
    if (effective) return true;
    if ((caps.data[kWord].permitted & kBit) == 0) return false;
    caps.data[kWord].effective |= kBit;
    if (!Set(&caps)) return false;
    t_raised = true;
    return true;
  }
  if (!t_raised || !effective) {
    t_raised = false;
    return true;
  }
  caps.data[kWord].effective &= ~kBit;
  t_raised = false;
  return Set(&caps);
}

}  // namespace base::system
