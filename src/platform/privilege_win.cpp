// Privileges are switched in the process token (a thread without a token of
// its own acts with it): raise, act, lower, as the callers do.
#include <windows.h>

#include "platform/privilege.h"

namespace platform::privilege {
namespace {

const wchar_t* NameOf(Privilege privilege) {
  switch (privilege) {
    case Privilege::kDebug:
      return L"SeDebugPrivilege";
  }
  return L"SeDebugPrivilege";
}

ErrorCode LastError() {
  const DWORD code = ::GetLastError();
  return code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code);
}

struct Token {
  HANDLE handle = nullptr;
  ~Token() {
    if (handle != nullptr) ::CloseHandle(handle);
  }
};

// Sets the privilege's state; `was_enabled` tells what it was before.
ErrorCode Adjust(Privilege privilege, bool enable, bool* was_enabled) {
  Token token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          &token.handle)) {
    return LastError();
  }
  LUID luid {};
  if (!::LookupPrivilegeValueW(nullptr, NameOf(privilege), &luid)) return LastError();
  TOKEN_PRIVILEGES wanted {};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Luid = luid;
  wanted.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  TOKEN_PRIVILEGES previous {};
  DWORD previous_size = sizeof(previous);
  if (!::AdjustTokenPrivileges(token.handle, FALSE, &wanted, sizeof(previous), &previous,
                               &previous_size)) {
    return LastError();
  }
  // Success with ERROR_NOT_ALL_ASSIGNED: the token does not hold it at all.
  if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) return kErrorNotAllAssigned;
  // Nothing changed comes back as no previous entry: it was as asked already.
  *was_enabled = previous.PrivilegeCount == 0
                     ? enable
                     : (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  return kErrorSuccess;
}

}  // namespace

Result<bool> Raise(Privilege privilege) {
  bool was_enabled = false;
  if (const ErrorCode error = Adjust(privilege, true, &was_enabled); error != 0) {
    return Fail(error);
  }
  return !was_enabled;
}

Result<void> Lower(Privilege privilege) {
  bool was_enabled = false;
  return Result<void>::FromCode(Adjust(privilege, false, &was_enabled));
}

}  // namespace platform::privilege
