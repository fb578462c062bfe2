// The parts of the child helpers that watch or signal through the OS.
#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <vector>

#include "platform/text.h"
#include "support/child.h"

namespace testenv {

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  wchar_t* block = ::GetEnvironmentStringsW();
  if (block == nullptr) return env;
  for (const wchar_t* e = block; *e != L'\0'; e += std::wcslen(e) + 1) {
    // Entries of the drive's current directories ("=C:=C:\...") are no variables.
    if (*e == L'=') continue;
    env.push_back(platform::text::ToUtf8(e));
  }
  ::FreeEnvironmentStringsW(block);
  return env;
}

Handshake::Handshake() {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (::CreatePipe(&read_end, &write_end, nullptr, 0)) {
    read_fd_ = reinterpret_cast<std::intptr_t>(read_end);
    write_fd_ = reinterpret_cast<std::intptr_t>(write_end);
  }
}

Handshake::~Handshake() {
  if (read_fd_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(read_fd_));
  if (write_fd_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(write_fd_));
}

void Handshake::Signal() {
  const char byte = 's';
  DWORD written = 0;
  ::WriteFile(reinterpret_cast<HANDLE>(write_fd_), &byte, 1, &written, nullptr);
}

bool Handshake::WaitFor(int count, std::uint32_t timeout_ms) {
  // An anonymous pipe cannot be waited on, so its fill is looked at until
  // the bytes are there.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const HANDLE pipe = reinterpret_cast<HANDLE>(read_fd_);
  while (count > 0) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) {
      char buffer[64];
      DWORD n = 0;
      const DWORD want = std::min<DWORD>(std::min<DWORD>(sizeof buffer, available),
                                         static_cast<DWORD>(count));
      if (!::ReadFile(pipe, buffer, want, &n, nullptr)) return false;
      count -= static_cast<int>(n);
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::Sleep(1);
  }
  return true;
}

namespace {

// Thread states as the system process list reports them.
constexpr ULONG kThreadStateWaiting = 5;
constexpr ULONG kThreadStateTerminated = 4;

struct ThreadInfo {
  LARGE_INTEGER times[3];
  ULONG wait_time;
  PVOID start_address;
  CLIENT_ID client_id;
  LONG priority;
  LONG base_priority;
  ULONG context_switches;
  ULONG state;
  ULONG wait_reason;
};

enum class Seen { kGone, kAsleep, kRunning };

// Whether every thread of `pid` (or only `thread_id`, when not 0) waits.
Seen StateOf(DWORD pid, DWORD thread_id) {
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = ::NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<NTSTATUS>(0xC0000004L)) {
    buffer.resize(buffer.size() * 2);
  }
  if (status < 0) return Seen::kGone;
  for (std::size_t at = 0;;) {
    const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
    if (static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process->UniqueProcessId)) == pid) {
      const auto* threads = reinterpret_cast<const ThreadInfo*>(process + 1);
      bool any = false;
      for (ULONG i = 0; i < process->NumberOfThreads; ++i) {
        const DWORD tid =
            static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(threads[i].client_id.UniqueThread));
        if (thread_id != 0 && tid != thread_id) continue;
        if (threads[i].state == kThreadStateTerminated) continue;
        any = true;
        if (threads[i].state != kThreadStateWaiting) return Seen::kRunning;
      }
      return any ? Seen::kAsleep : Seen::kGone;
    }
    if (process->NextEntryOffset == 0) return Seen::kGone;
    at += process->NextEntryOffset;
  }
}

}  // namespace

bool WaitUntilProcessAsleep(int pid, std::uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    switch (StateOf(static_cast<DWORD>(pid), 0)) {
      case Seen::kAsleep: return true;
      case Seen::kGone: return false;
      case Seen::kRunning: break;
    }
    std::this_thread::yield();
  }
  return false;
}

int CurrentThreadId() { return static_cast<int>(::GetCurrentThreadId()); }

std::thread WhenThreadBlocks(int thread_id, std::function<void()> action) {
  return std::thread([thread_id, action = std::move(action)] {
    const DWORD pid = ::GetCurrentProcessId();
    while (StateOf(pid, static_cast<DWORD>(thread_id)) == Seen::kRunning) {
      std::this_thread::yield();
    }
    action();
  });
}

}  // namespace testenv
