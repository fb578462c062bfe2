// Capabilities are per thread on Linux, which matches how callers use a
// privilege (raise, act, lower on one thread).
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/privilege.h"

namespace platform::privilege {
namespace {

struct Caps {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

bool Get(Caps* caps) { return ::syscall(SYS_capget, &caps->header, caps->data) == 0; }
bool Set(Caps* caps) { return ::syscall(SYS_capset, &caps->header, caps->data) == 0; }

int CapabilityOf(Privilege privilege) {
  switch (privilege) {
    case Privilege::kDebug:
      return CAP_KILL;
  }
  return CAP_KILL;
}

}  // namespace

Result<bool> Raise(Privilege privilege) {
  const int cap = CapabilityOf(privilege);
  const unsigned bit = 1u << (cap % 32);
  const int word = cap / 32;
  Caps caps;
  if (!Get(&caps)) return Fail(FromErrno(errno));
  if ((caps.data[word].effective & bit) != 0) return false;
  if ((caps.data[word].permitted & bit) == 0) return Fail(kErrorNotAllAssigned);
  caps.data[word].effective |= bit;
  if (!Set(&caps)) return Fail(FromErrno(errno));
  return true;
}

Result<void> Lower(Privilege privilege) {
  const int cap = CapabilityOf(privilege);
  const unsigned bit = 1u << (cap % 32);
  const int word = cap / 32;
  Caps caps;
  if (!Get(&caps)) return Fail(FromErrno(errno));
  if ((caps.data[word].effective & bit) == 0) return {};
  caps.data[word].effective &= ~bit;
  if (!Set(&caps)) return Fail(FromErrno(errno));
  return {};
}

}  // namespace platform::privilege
