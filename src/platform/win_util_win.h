// Helpers of the Windows backend only: the owner of a kernel HANDLE and the
// last error as the platform's error value.
#pragma once

#include <windows.h>

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

// Makes a table handle of a process HANDLE (taken over, closed with the
// table handle) opened with `access`. process_win.cpp.
ProcessHandle AdoptProcess(HANDLE process, std::uint32_t access);

}  // namespace platform::win
