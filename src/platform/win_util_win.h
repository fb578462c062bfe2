// Helpers of the Windows backend only: the owner of a kernel HANDLE and the
// last error as the platform's error value.
#pragma once

#include <windows.h>

#include <string>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/scoped_generic.h"

namespace platform::win {

// A kernel handle; null and INVALID_HANDLE_VALUE both mean none (the calls
// that make them use either).
struct HandleTraits {
  static HANDLE InvalidValue() { return nullptr; }
  static void Free(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};
using ScopedHandle = ScopedGeneric<HANDLE, HandleTraits>;

// Windows error numbers are the platform's own: the mapping is the identity.
// A failure that left no number still reads as one.
inline ErrorCode LastError() {
  const DWORD error = ::GetLastError();
  return error != 0 ? static_cast<ErrorCode>(error) : kErrorGenFailure;
}

// The system's TerminateProcess itself, resolved once from kernel32: the
// import tables may route the plain name back into the platform
// (terminate_imports_win.cpp). process_win.cpp.
using SystemTerminateFunction = BOOL(WINAPI*)(HANDLE, UINT);
SystemTerminateFunction SystemTerminateProcess();

// The path the file system says the handle has, links resolved
// ("\\?\C:\..." form).
inline ErrorCode FinalPath(HANDLE handle, std::wstring* out) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                FILE_NAME_NORMALIZED);
    if (n == 0) return LastError();
    if (n < path.size()) {
      path.resize(n);
      *out = std::move(path);
      return kErrorSuccess;
    }
    path.assign(n + 1, L'\0');
  }
  return kErrorGenFailure;
}

// Makes a table handle of a process HANDLE (taken over, closed with the
// table handle) opened with `access`. process_win.cpp.
ProcessHandle AdoptProcess(HANDLE process, std::uint32_t access);

}  // namespace platform::win
