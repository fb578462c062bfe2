// Routing the system TerminateProcess through the platform's replaceable
// terminate function: every module loaded now has the entry of its import
// table that holds TerminateProcess rewritten to a thunk. The thunk lends
// the caller's HANDLE to the platform's handle table for the length of the
// call, so the installed function sees it like any platform handle, and
// answers as the system call does (BOOL and the last error).
#include <windows.h>
#include <psapi.h>

#include <mutex>
#include <vector>

#include "platform/process.h"
#include "platform/win_util_win.h"

namespace platform {

namespace {

BOOL WINAPI ImportedTerminateProcess(HANDLE process, UINT exit_code) {
  if (process == ::GetCurrentProcess()) {
    return win::SystemTerminateProcess()(process, exit_code);
  }
  // A copy of the caller's handle with the same rights: the table owns and
  // closes the copy, the caller keeps its own. The rights the copy really
  // has are the system's business: a missing one fails the system call.
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return FALSE;  // not a handle: the same error the system call gives
  }
  const ProcessHandle lent = win::AdoptProcess(copy, kProcessAllAccess);
  const ErrorCode error = TerminateProcess(lent.get(), exit_code);
  ::SetLastError(error);
  return error == kErrorSuccess ? TRUE : FALSE;
}

// Rewrites the import entries of `module` that hold `target`.
void RouteModule(HMODULE module, const std::vector<void*>& targets) {
  auto* base = reinterpret_cast<unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return;
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0 || imports.Size == 0) return;
  for (auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    // Entries are compared by the address they were bound to, whatever
    // module name (kernel32, kernelbase, an API set) the import used.
    for (auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
         entry->u1.Function != 0; ++entry) {
      void* bound = reinterpret_cast<void*>(entry->u1.Function);
      bool match = false;
      for (void* target : targets) match = match || bound == target;
      if (!match) continue;
      DWORD old_protection = 0;
      if (!::VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, PAGE_READWRITE,
                            &old_protection)) {
        continue;
      }
      entry->u1.Function = reinterpret_cast<ULONG_PTR>(&ImportedTerminateProcess);
      ::VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, old_protection,
                       &old_protection);
    }
  }
}

}  // namespace

ErrorCode RouteImportedTerminateCalls() {
  static std::once_flag once;
  static ErrorCode result = kErrorSuccess;
  std::call_once(once, [] {
    // An import may be bound to kernel32's export or to kernelbase's.
    std::vector<void*> targets{reinterpret_cast<void*>(win::SystemTerminateProcess())};
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    const HMODULE kernelbase = ::GetModuleHandleW(L"kernelbase");
    if (kernel32 != nullptr) {
      if (FARPROC found = ::GetProcAddress(kernel32, "TerminateProcess")) {
        targets.push_back(reinterpret_cast<void*>(found));
      }
    }
    std::vector<HMODULE> modules(256);
    DWORD needed = 0;
    for (;;) {
      const DWORD bytes = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
      if (!::EnumProcessModules(::GetCurrentProcess(), modules.data(), bytes, &needed)) {
        result = win::LastError();
        return;
      }
      if (needed <= bytes) break;
      modules.resize(needed / sizeof(HMODULE));
    }
    modules.resize(needed / sizeof(HMODULE));
    // Every module but the two that make up the system function itself:
    // kernel32's export may reach kernelbase through kernel32's own import
    // table, and rewriting that would send the system call back here.
    for (HMODULE module : modules) {
      if (module == nullptr || module == kernel32 || module == kernelbase) continue;
      RouteModule(module, targets);
    }
  });
  return result;
}

}  // namespace platform
