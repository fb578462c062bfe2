// The crash handler program on Windows. Started by the crash agent with
//   crashpad_handler.exe --pipe \\.\pipe\<name> --database <dir> --ready-event N
// it creates the pipe's first instance (or, when another handler already
// serves the name, ends with exit code 3), signals the inherited event N,
// and serves every process that connects, one thread each: their details
// arrive as registration frames; a crash frame makes it read the crashed
// thread from outside, write <database>\crash_<component>_<pid>_<time ms>.json
// and a minidump (.dmp) beside it, and answer. It ends once the last of its
// processes has gone, or when nobody came.
#include <windows.h>
#include <dbghelp.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crash_backtrace.h"
#include "crash_record.h"
#include "sdk/vexil/handler_protocol_win.h"

namespace {

namespace protocol = vexil::protocol;

constexpr DWORD kFirstClientTimeoutMs = 30000;
constexpr std::uint32_t kMaxFrameBytes = 16 * 1024 * 1024;
constexpr int kBusyExit = 3;

std::atomic<int> g_clients{0};
HANDLE g_all_gone = nullptr;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

bool WriteFileAtomically(const std::wstring& path, const std::string& text) {
  const std::wstring temporary = path + L".tmp";
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size() && ::FlushFileBuffers(file);
  ::CloseHandle(file);
  if (!ok || !::MoveFileExW(temporary.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

// File names keep to a safe alphabet whatever the component is called.
std::string SafeName(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.';
    out += safe ? c : '_';
  }
  if (out.empty() || out == "." || out == "..") out = "process";
  return out.substr(0, 64);
}

void WriteMinidump(HANDLE process, const protocol::CrashMessage& crash, const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  MINIDUMP_EXCEPTION_INFORMATION exception {};
  exception.ThreadId = crash.tid;
  exception.ExceptionPointers = reinterpret_cast<PEXCEPTION_POINTERS>(crash.exception_pointers);
  exception.ClientPointers = TRUE;  // the pointers are the crashed process's
  const BOOL ok = ::MiniDumpWriteDump(process, crash.pid, file, MiniDumpNormal,
                                      crash.exception_pointers != 0 ? &exception : nullptr,
                                      nullptr, nullptr);
  ::CloseHandle(file);
  if (!ok) ::DeleteFileW(path.c_str());
}

char HandleCrash(HANDLE pipe, const nlohmann::json& registration,
                 const protocol::CrashMessage& crash, const std::wstring& database) {
  if (crash.magic != protocol::CrashMessage().magic) return protocol::kAckFailed;
  // Only the connected process itself may ask for its own dump.
  ULONG client = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &client) || client != crash.pid) {
    return protocol::kAckFailed;
  }
  HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE,
                                 FALSE, crash.pid);
  std::vector<crash_handler::Frame> frames;
  std::string error;
  if (process != nullptr) {
    frames = crash_handler::ReadBacktrace(process, crash.tid, crash.exception_pointers, &error);
  } else {
    error = "cannot open the crashed process";
  }
  if (!error.empty()) std::fprintf(stderr, "crashpad_handler: %s\n", error.c_str());

  std::uint64_t limit = 0;
  if (auto it = registration.find("record_limit");
      it != registration.end() && it->is_number_unsigned()) {
    limit = it->get<std::uint64_t>();
  }
  crash_handler::CrashFacts facts;
  facts.pid = crash.pid;
  facts.tid = crash.tid;
  facts.signal = crash.exception_code;
  facts.fault_address = crash.fault_address;
  facts.signal_name = crash_handler::ExceptionName(crash.exception_code);
  const std::int64_t time_ms = NowMs();
  const std::string text = crash_handler::BuildCrashRecord(registration, facts, frames, time_ms, limit);
  std::string component = "process";
  if (auto it = registration.find("component"); it != registration.end() && it->is_string()) {
    component = it->get<std::string>();
  }
  const std::wstring base = database + L"\\crash_" + Wide(SafeName(component)) + L"_" +
                            std::to_wstring(crash.pid) + L"_" + std::to_wstring(time_ms);
  // The record first: the dump is the larger part, and the agent's wait
  // for the answer is bounded.
  const bool written = !text.empty() && WriteFileAtomically(base + L".json", text);
  if (process != nullptr) {
    WriteMinidump(process, crash, base + L".dmp");
    ::CloseHandle(process);
  }
  return written ? protocol::kAckWritten : protocol::kAckFailed;
}

// Reads what is there (at least one byte, waiting as long as it takes); 0
// when the client has gone.
DWORD ReadSome(HANDLE pipe, HANDLE event, char* buffer, DWORD size) {
  OVERLAPPED overlapped {};
  overlapped.hEvent = event;
  DWORD read = 0;
  if (!::ReadFile(pipe, buffer, size, &read, &overlapped)) {
    if (::GetLastError() != ERROR_IO_PENDING) return 0;
    if (!::GetOverlappedResult(pipe, &overlapped, &read, TRUE)) return 0;
  }
  return read;
}

void ServeClient(HANDLE pipe, std::wstring database) {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::string buffer;
  nlohmann::json registration = nlohmann::json::object();
  std::vector<char> chunk(65536);
  bool keep = event != nullptr;
  while (keep) {
    const DWORD n = ReadSome(pipe, event, chunk.data(), static_cast<DWORD>(chunk.size()));
    if (n == 0) break;
    buffer.append(chunk.data(), n);
    while (keep && buffer.size() >= 5) {
      std::uint32_t size = 0;
      std::memcpy(&size, buffer.data() + 1, sizeof(size));
      if (size > kMaxFrameBytes) {
        keep = false;
        break;
      }
      if (buffer.size() < 5 + size) break;
      const char type = buffer[0];
      const std::string payload = buffer.substr(5, size);
      buffer.erase(0, 5 + size);
      if (type == protocol::kFrameRegister) {
        nlohmann::json parsed = nlohmann::json::parse(payload, nullptr, false);
        if (parsed.is_object()) registration = std::move(parsed);
      } else if (type == protocol::kFrameCrash && size == sizeof(protocol::CrashMessage)) {
        protocol::CrashMessage crash;
        std::memcpy(&crash, payload.data(), sizeof(crash));
        const char answer = HandleCrash(pipe, registration, crash, database);
        protocol::WriteAll(pipe, event, &answer, 1, 5000);
      } else {
        keep = false;
      }
    }
  }
  ::DisconnectNamedPipe(pipe);
  ::CloseHandle(pipe);
  if (event != nullptr) ::CloseHandle(event);
  if (--g_clients == 0) ::SetEvent(g_all_gone);
}

HANDLE NewInstance(const std::wstring& name, bool first) {
  return ::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, 64 * 1024, 64 * 1024, 0, nullptr);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::wstring pipe_name;
  std::wstring database;
  HANDLE ready = nullptr;
  for (int i = 1; argv != nullptr && i + 1 < argc; i += 2) {
    const std::wstring name = argv[i];
    if (name == L"--pipe") pipe_name = protocol::FullPipeName(argv[i + 1]);
    else if (name == L"--database") database = argv[i + 1];
    else if (name == L"--ready-event")
      ready = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(argv[i + 1], nullptr, 10)));
  }
  if (argv != nullptr) ::LocalFree(argv);
  if (pipe_name.empty() || database.empty()) {
    std::fprintf(stderr, "usage: crashpad_handler.exe --pipe NAME --database DIR [--ready-event N]\n");
    return 2;
  }
  // Holds no directory of the product open.
  wchar_t system[MAX_PATH];
  if (::GetSystemDirectoryW(system, MAX_PATH) > 0) ::SetCurrentDirectoryW(system);

  HANDLE instance = NewInstance(pipe_name, true);
  if (instance == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (ready != nullptr) ::CloseHandle(ready);
    // Someone else has the name: the agent joins that handler.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) return kBusyExit;
    std::fprintf(stderr, "crashpad_handler: cannot create the pipe: %lu\n", error);
    return 1;
  }
  if (ready != nullptr) {
    ::SetEvent(ready);
    ::CloseHandle(ready);
  }
  g_all_gone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE connected = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool had_client = false;
  while (instance != INVALID_HANDLE_VALUE) {
    OVERLAPPED overlapped {};
    ::ResetEvent(connected);
    overlapped.hEvent = connected;
    bool is_connected = ::ConnectNamedPipe(instance, &overlapped) != FALSE;
    if (!is_connected) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        is_connected = true;
      } else if (error == ERROR_IO_PENDING) {
        HANDLE waits[] = {connected, g_all_gone};
        const DWORD woke =
            ::WaitForMultipleObjects(2, waits, FALSE, had_client ? INFINITE : kFirstClientTimeoutMs);
        if (woke == WAIT_OBJECT_0) {
          DWORD ignored = 0;
          is_connected = ::GetOverlappedResult(instance, &overlapped, &ignored, FALSE) != FALSE;
        } else {
          ::CancelIoEx(instance, &overlapped);
          DWORD ignored = 0;
          ::GetOverlappedResult(instance, &overlapped, &ignored, TRUE);
          break;  // everyone has gone, or nobody came
        }
      }
    }
    if (!is_connected) {
      ::DisconnectNamedPipe(instance);
      continue;
    }
    had_client = true;
    ++g_clients;
    ::ResetEvent(g_all_gone);
    std::thread(ServeClient, instance, database).detach();
    instance = NewInstance(pipe_name, false);
  }
  if (instance != INVALID_HANDLE_VALUE) ::CloseHandle(instance);
  return 0;
}
