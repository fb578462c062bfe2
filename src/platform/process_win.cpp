// Processes on Windows: tool-help snapshots to list, OpenProcess,
// WaitForSingleObject, GetExitCodeProcess and TerminateProcess on the
// handle. As on POSIX, a raw handle is an entry of a handle table (slot and
// generation), not the kernel HANDLE itself: kernel handle values are reused
// at once after CloseHandle, so a handle closed twice could hit another
// object, while a table entry that is not open gives 6.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/handle_table.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/win_util_win.h"

namespace platform {

namespace {

struct ProcessObject {
  win::ScopedHandle handle;
  Pid pid = 0;
  std::uint32_t access = 0;
};

using HandleTable = internal::HandleTable<ProcessObject>;

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // handles may be closed during static destruction
  return *table;
}

const RawProcess kCurrentProcess = reinterpret_cast<RawProcess>(static_cast<std::intptr_t>(-1));

std::shared_ptr<ProcessObject> Resolve(RawProcess raw) {
  if (raw == nullptr || raw == kCurrentProcess) return nullptr;
  return Handles().Find(raw);
}

bool HasQueryRight(std::uint32_t access) {
  return (access & (kProcessQueryInformation | kProcessQueryLimitedInformation)) != 0;
}

std::atomic<TerminateFunction> g_terminate{&RealTerminateProcess};

// Another process's memory, read whole; false when any part cannot be read.
bool ReadRemote(HANDLE process, const void* address, void* into, std::size_t size) {
  SIZE_T got = 0;
  return ::ReadProcessMemory(process, address, into, size, &got) && got == size;
}

// Where a process keeps its start parameters (RTL_USER_PROCESS_PARAMETERS):
// the x64 layout, which is fixed.
constexpr std::size_t kParametersInPeb = 0x20;
constexpr std::size_t kCurrentDirectoryInParameters = 0x38;
constexpr std::size_t kEnvironmentInParameters = 0x80;

struct RemoteUnicodeString {
  USHORT length;
  USHORT maximum;
  ULONG pad;
  std::uint64_t buffer;
};

// Opens `pid` for reading its memory: 87 when there is none, 5 when denied.
Result<win::ScopedHandle> OpenForReading(Pid pid) {
  if (pid == 0) return Fail(kErrorInvalidParameter);
  win::ScopedHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return Fail(win::LastError());
  return process;
}

// The address of the start parameters of `process`.
Result<std::uint64_t> ParametersOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic{};
  ULONG size = 0;
  if (::NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                  &size) < 0) {
    return Fail(kErrorAccessDenied);
  }
  std::uint64_t parameters = 0;
  if (!ReadRemote(process, static_cast<const char*>(static_cast<const void*>(basic.PebBaseAddress)) +
                               kParametersInPeb,
                  &parameters, sizeof parameters)) {
    return Fail(win::LastError());
  }
  return parameters;
}

// The environment block of `pid` as UTF-8 "NAME=value\0" entries.
Result<std::string> ReadEnvironmentBlock(Pid pid) {
  Result<win::ScopedHandle> opened = OpenForReading(pid);
  if (!opened) return Fail(opened.error());
  const HANDLE process = opened->get();
  Result<std::uint64_t> parameters = ParametersOf(process);
  if (!parameters) return Fail(parameters.error());
  std::uint64_t block = 0;
  if (!ReadRemote(process, reinterpret_cast<const void*>(*parameters + kEnvironmentInParameters),
                  &block, sizeof block)) {
    return Fail(win::LastError());
  }
  // Read a page at a time up to the closing pair of NULs; no environment
  // is larger than the bound.
  std::wstring wide;
  constexpr std::size_t kChunk = 2048;
  constexpr std::size_t kLimit = 4u << 20;
  for (std::uint64_t at = block; wide.size() < kLimit; at += kChunk * sizeof(wchar_t)) {
    wchar_t chunk[kChunk];
    SIZE_T got = 0;
    if (!::ReadProcessMemory(process, reinterpret_cast<const void*>(at), chunk, sizeof chunk,
                             &got) &&
        got == 0) {
      // The last page may end the mapping; what was read counts.
      if (wide.empty()) return Fail(win::LastError());
      break;
    }
    wide.append(chunk, got / sizeof(wchar_t));
    const std::size_t end = wide.find(std::wstring_view(L"\0\0", 2));
    if (end != std::wstring::npos) {
      wide.resize(end + 1);
      break;
    }
  }
  if (wide.size() == 1 && wide[0] == L'\0') wide.clear();
  return text::ToUtf8(wide);
}

}  // namespace

namespace win {

ProcessHandle AdoptProcess(HANDLE process, std::uint32_t access) {
  auto object = std::make_shared<ProcessObject>();
  object->handle.reset(process);
  object->pid = ::GetProcessId(process);
  object->access = access;
  return ProcessHandle(Handles().Insert(std::move(object)));
}

SystemTerminateFunction SystemTerminateProcess() {
  // kernelbase's own function where there is one: kernel32's export may be
  // a stub that jumps through kernel32's import table, which the routing
  // rewrites.
  static const SystemTerminateFunction real = [] {
    FARPROC found = nullptr;
    for (const wchar_t* module : {L"kernelbase", L"kernel32"}) {
      const HMODULE handle = ::GetModuleHandleW(module);
      found = handle != nullptr ? ::GetProcAddress(handle, "TerminateProcess") : nullptr;
      if (found != nullptr) break;
    }
    return found != nullptr ? reinterpret_cast<SystemTerminateFunction>(reinterpret_cast<void*>(found))
                            : &::TerminateProcess;
  }();
  return real;
}

}  // namespace win

RawProcess CurrentProcess() { return kCurrentProcess; }

ErrorCode CloseProcess(RawProcess process) {
  if (process == kCurrentProcess) return kErrorSuccess;
  if (process == nullptr) return kErrorInvalidHandle;
  // The kernel handle closes with the last user of the object (a call in
  // flight on another thread may still hold it).
  return Handles().Remove(process) ? kErrorSuccess : kErrorInvalidHandle;
}

ErrorCode EnumerateProcesses(const std::function<bool(const ProcessEntry&)>& visit) {
  win::ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) return win::LastError();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    // The idle process is no program anyone can act on.
    if (entry.th32ProcessID == 0) continue;
    ProcessEntry item;
    item.pid = entry.th32ProcessID;
    item.parent_pid = entry.th32ParentProcessID;
    item.exe_file = entry.szExeFile;
    if (!visit(item)) break;
  }
  return kErrorSuccess;
}

Result<ProcessHandle> OpenProcess(Pid pid, std::uint32_t access) {
  if (pid == 0) return Fail(kErrorInvalidParameter);
  HANDLE process = ::OpenProcess(access, FALSE, pid);
  if (process == nullptr) return Fail(win::LastError());
  return win::AdoptProcess(process, access);
}

std::uint32_t WaitForProcess(RawProcess process, std::uint32_t timeout_ms, ErrorCode* error) {
  HANDLE native;
  if (process == kCurrentProcess) {
    native = ::GetCurrentProcess();
  } else {
    const std::shared_ptr<ProcessObject> object = Resolve(process);
    if (object == nullptr) {
      if (error) *error = kErrorInvalidHandle;
      return kWaitFailed;
    }
    native = object->handle.get();
    const DWORD result = ::WaitForSingleObject(native, timeout_ms);
    if (result == WAIT_FAILED && error) *error = win::LastError();
    return result == WAIT_OBJECT_0 ? kWaitObject0 : result == WAIT_TIMEOUT ? kWaitTimeout
                                                                            : kWaitFailed;
  }
  const DWORD result = ::WaitForSingleObject(native, timeout_ms);
  if (result == WAIT_FAILED && error) *error = win::LastError();
  return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
}

ErrorCode TerminateProcess(RawProcess process, std::uint32_t exit_code) {
  return g_terminate.load()(process, exit_code);
}

ErrorCode RealTerminateProcess(RawProcess process, std::uint32_t exit_code) {
  if (process == kCurrentProcess) {
    win::SystemTerminateProcess()(::GetCurrentProcess(), exit_code);
    return win::LastError();
  }
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  if (object == nullptr) return kErrorInvalidHandle;
  // Windows refuses an ended process (5) by itself; the wait makes that hold
  // under every implementation of it.
  if (::WaitForSingleObject(object->handle.get(), 0) == WAIT_OBJECT_0) return kErrorAccessDenied;
  if (!win::SystemTerminateProcess()(object->handle.get(), exit_code)) return win::LastError();
  return kErrorSuccess;
}

TerminateFunction ExchangeTerminateFunction(TerminateFunction fn) {
  return g_terminate.exchange(fn != nullptr ? fn : &RealTerminateProcess);
}

Result<std::uint32_t> GetExitCode(RawProcess process) {
  if (process == kCurrentProcess) return kStillActive;
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  if (object == nullptr) return Fail(kErrorInvalidHandle);
  DWORD code = 0;
  if (!::GetExitCodeProcess(object->handle.get(), &code)) return Fail(win::LastError());
  return static_cast<std::uint32_t>(code);
}

Pid GetProcessId(RawProcess process) {
  if (process == kCurrentProcess) return CurrentProcessId();
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  return object ? object->pid : 0;
}

Result<std::filesystem::path> QueryImagePath(RawProcess process) {
  HANDLE native = ::GetCurrentProcess();
  if (process != kCurrentProcess) {
    const std::shared_ptr<ProcessObject> object = Resolve(process);
    if (object == nullptr) return Fail(kErrorInvalidHandle);
    if (!HasQueryRight(object->access)) return Fail(kErrorAccessDenied);
    DWORD code = 0;
    if (::GetExitCodeProcess(object->handle.get(), &code) && code != STILL_ACTIVE &&
        ::WaitForSingleObject(object->handle.get(), 0) != WAIT_TIMEOUT) {
      return Fail(kErrorInvalidParameter);
    }
    native = object->handle.get();
    std::wstring buffer(1024, L'\0');
    for (;;) {
      DWORD size = static_cast<DWORD>(buffer.size());
      if (::QueryFullProcessImageNameW(native, 0, buffer.data(), &size)) {
        buffer.resize(size);
        return text::PathFromWide(buffer);
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 32768) {
        return Fail(win::LastError());
      }
      buffer.resize(buffer.size() * 2);
    }
  }
  std::filesystem::path self = CurrentExecutablePath();
  if (self.empty()) return Fail(kErrorGenFailure);
  return self;
}

Result<EnvironmentValues> ReadProcessEnvironmentVariables(
    Pid pid, const std::vector<std::string_view>& names) {
  Result<std::string> block = ReadEnvironmentBlock(pid);
  if (!block) return Fail(block.error());
  EnvironmentValues result;
  result.empty = block->empty();
  result.values.resize(names.size());
  // Names compare without case on Windows.
  for (std::size_t at = 0; at < block->size();) {
    std::size_t end = block->find('\0', at);
    if (end == std::string::npos) end = block->size();
    const std::string_view entry(block->data() + at, end - at);
    // A leading '=' belongs to the name (the drives' current directories).
    const std::size_t equals = entry.find('=', 1);
    if (equals != std::string_view::npos) {
      const std::wstring name = text::FromUtf8(entry.substr(0, equals));
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (!result.values[i] && text::CompareNoCase(name, text::FromUtf8(names[i])) == 0) {
          result.values[i] = std::string(entry.substr(equals + 1));
        }
      }
    }
    at = end + 1;
  }
  return result;
}

Result<std::optional<std::string>> ReadProcessEnvironmentVariable(Pid pid, std::string_view name) {
  Result<EnvironmentValues> read = ReadProcessEnvironmentVariables(pid, {name});
  if (!read) return Fail(read.error());
  return std::move(read->values.front());
}

Result<std::filesystem::path> QueryProcessWorkingDirectory(Pid pid) {
  Result<win::ScopedHandle> opened = OpenForReading(pid);
  if (!opened) return Fail(opened.error());
  const HANDLE process = opened->get();
  Result<std::uint64_t> parameters = ParametersOf(process);
  if (!parameters) return Fail(parameters.error());
  RemoteUnicodeString directory{};
  if (!ReadRemote(process,
                  reinterpret_cast<const void*>(*parameters + kCurrentDirectoryInParameters),
                  &directory, sizeof directory)) {
    return Fail(win::LastError());
  }
  std::wstring path(directory.length / sizeof(wchar_t), L'\0');
  if (!path.empty() && !ReadRemote(process, reinterpret_cast<const void*>(directory.buffer),
                                   path.data(), directory.length)) {
    return Fail(win::LastError());
  }
  // Kept with its closing separator, except at a drive's root.
  if (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return text::PathFromWide(path);
}

Pid CurrentProcessId() { return ::GetCurrentProcessId(); }

std::filesystem::path CurrentExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return text::PathFromWide(buffer);
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::uint64_t TickCount64() { return ::GetTickCount64(); }

void SleepMs(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace platform
