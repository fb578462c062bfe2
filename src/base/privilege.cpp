// Privileges of the base library over platform::privilege.
#include <string_view>

#include "base/system.h"
#include "platform/privilege.h"

namespace base::system {
namespace {

// Whether the last enable on this thread had to raise the privilege: only
// then does disable lower it again, so a process that holds it from the
// start keeps it.
thread_local bool t_raised = false;

bool IsDebugPrivilege(const wchar_t* privilege) {
  return privilege != nullptr && std::wstring_view(privilege) == L"SeDebugPrivilege";
}

}  // namespace

bool PrivilegeToken::AdjustPrivilegeToken(bool enable, const wchar_t* privilege) {
  using platform::privilege::Privilege;
  if (!IsDebugPrivilege(privilege)) return false;
  if (enable) {
    const auto raised = platform::privilege::Raise(Privilege::kDebug);
    if (!raised) return false;
    if (*raised) t_raised = true;
    return true;
  }
  if (!t_raised) return true;
  t_raised = false;
  return platform::privilege::Lower(Privilege::kDebug).ok();
}

// Each scope remembers whether it raised the privilege itself, so an inner
// scope never lowers what an outer one (or the process's start) holds.
ScopedPrivilege::ScopedPrivilege(const wchar_t* privilege) {
  if (!IsDebugPrivilege(privilege)) return;
  const auto raised = platform::privilege::Raise(platform::privilege::Privilege::kDebug);
  enabled_ = raised.ok();
  raised_ = raised && *raised;
}

ScopedPrivilege::~ScopedPrivilege() {
  if (raised_) (void)platform::privilege::Lower(platform::privilege::Privilege::kDebug);
}

}  // namespace base::system
