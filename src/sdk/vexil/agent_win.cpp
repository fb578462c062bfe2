// The crash agent on Windows: validates its record, starts (or joins) the
// handler program on its named pipe, and installs the unhandled-exception
// filter, which tells the handler, waits (bounded) for its answer, runs the
// registered callback and lets the process end with the exception's code.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/launch.h"
#include "sdk/vexil/handler_protocol_win.h"
#include "sdk/vexil/vexil_agent.h"
#include "sdk/vexil/vexil_validation.h"

namespace vexil {
namespace {

using protocol::CrashMessage;

// The handler has this long to write the record before the process goes on
// ending without it.
constexpr DWORD kAckTimeoutMs = 5000;
// Whatever hangs while crashing (a stuck handler, a callback waiting for a
// lock the crashed thread held), the process is gone after this.
constexpr DWORD kCrashDeadlineMs = 15000;
constexpr int kSendQuietWaitMs = 1000;
// What the abort path raises so that it goes through the filter too.
constexpr DWORD kAbortCode = 0x40000015;  // STATUS_FATAL_APP_EXIT
// The handler's exit code when another handler already serves the pipe.
constexpr DWORD kHandlerBusyExit = 3;

// State the filter reads, set before the filter is installed.
std::atomic<HANDLE> g_pipe{nullptr};
std::atomic<HANDLE> g_crash_event{nullptr};
std::atomic<VexilCrashCallback> g_callback{nullptr};
std::atomic<void*> g_callback_context{nullptr};
std::atomic<IVexilAgent*> g_agent{nullptr};
std::atomic<DWORD> g_crashing_tid{0};
// The thread writing a registration frame: a crash frame must not cut into it.
std::atomic<DWORD> g_sending_tid{0};

DWORD WINAPI CrashDeadline(void* code) {
  ::Sleep(kCrashDeadlineMs);
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(reinterpret_cast<std::uintptr_t>(code)));
  return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  const DWORD tid = ::GetCurrentThreadId();
  DWORD expected = 0;
  if (!g_crashing_tid.compare_exchange_strong(expected, tid)) {
    if (expected == tid) return EXCEPTION_EXECUTE_HANDLER;  // crashed again while reporting
    for (;;) ::Sleep(INFINITE);  // another thread reports; it ends the process
  }
  const DWORD code = pointers != nullptr && pointers->ExceptionRecord != nullptr
                         ? pointers->ExceptionRecord->ExceptionCode
                         : kAbortCode;
  HANDLE deadline = ::CreateThread(nullptr, 64 * 1024, CrashDeadline,
                                   reinterpret_cast<void*>(static_cast<std::uintptr_t>(code)), 0,
                                   nullptr);
  if (deadline != nullptr) ::CloseHandle(deadline);

  HANDLE pipe = g_pipe.load();
  // Another thread may be half-way through a frame: let it finish (bounded).
  // If this thread crashed inside one, the stream is beyond repair.
  for (int waited_ms = 0; pipe != nullptr; ++waited_ms) {
    const DWORD sender = g_sending_tid.load();
    if (sender == 0) break;
    if (sender == tid || waited_ms >= kSendQuietWaitMs) pipe = nullptr;
    ::Sleep(1);
  }
  HANDLE event = g_crash_event.load();
  if (pipe != nullptr && event != nullptr) {
    CrashMessage message;
    message.pid = ::GetCurrentProcessId();
    message.tid = tid;
    message.exception_code = code;
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr) {
      message.fault_address =
          reinterpret_cast<std::uint64_t>(pointers->ExceptionRecord->ExceptionAddress);
      if (code == EXCEPTION_ACCESS_VIOLATION && pointers->ExceptionRecord->NumberParameters >= 2) {
        message.fault_address = pointers->ExceptionRecord->ExceptionInformation[1];
      }
    }
    message.exception_pointers = reinterpret_cast<std::uint64_t>(pointers);
    if (protocol::SendFrame(pipe, event, protocol::kFrameCrash, &message, sizeof(message),
                            kAckTimeoutMs)) {
      protocol::ReadByte(pipe, event, kAckTimeoutMs);
    }
  }
  if (VexilCrashCallback callback = g_callback.load()) {
    callback(g_agent.load(), g_callback_context.load());
  }
  return EXCEPTION_EXECUTE_HANDLER;  // the process ends with the exception's code
}

// abort() ends the process without an exception; raise one, so the crash
// takes the same way.
void OnAbort(int) { ::RaiseException(kAbortCode, EXCEPTION_NONCONTINUABLE, 0, nullptr); }

HANDLE OpenPipe(const std::wstring& name) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(name.c_str(), 2000)) break;
  }
  return nullptr;
}

class VexilAgent final : public IVexilAgent {
 public:
  int InterfaceVersion() const override { return 1; }

  int Initialize(const VexilInitInfo& info) override {
    std::lock_guard lock(mutex_);
    const int error = ValidateInitInfo(info);
    if (error != kVexilOk) return error;
    info_ = info;
    initialized_ = true;
    return kVexilOk;
  }

  int StartMonitor(std::uint32_t pid, const wchar_t* component, std::size_t component_len,
                   const wchar_t* temp_directory, std::size_t temp_directory_len) override {
    std::lock_guard lock(mutex_);
    if (!initialized_) return kVexilNotInitialized;
    if (monitoring_) return kVexilOk;
    monitored_pid_ = pid;
    if (component != nullptr) monitored_name_ = WideToUtf8({component, component_len});
    if (temp_directory != nullptr) temp_directory_ = WideToUtf8({temp_directory, temp_directory_len});

    int result = kVexilOk;
    g_crash_event.store(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (HANDLE pipe = ConnectToHandler(); pipe != nullptr) {
      ULONG server = 0;
      if (::GetNamedPipeServerProcessId(pipe, &server)) handler_pid_ = server;
      g_pipe.store(pipe);
      SendRegistrationLocked();
    } else {
      result = kVexilHandlerUnavailable;  // the callback still runs on a crash
    }
    g_agent.store(this);
    // Room on the stack for the filter when the crash is a stack overflow.
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
    ::SetUnhandledExceptionFilter(OnUnhandledException);
    std::signal(SIGABRT, OnAbort);
    monitoring_ = true;
    return result;
  }

  bool IsMonitoring() const override {
    std::lock_guard lock(mutex_);
    return monitoring_;
  }

  int SetCustomValue(const char* key, const char* value) override {
    if (key == nullptr || *key == '\0') return kVexilBadArgument;
    std::lock_guard lock(mutex_);
    custom_[key] = value != nullptr ? value : "";
    if (monitoring_) SendRegistrationLocked();
    return kVexilOk;
  }

  int RegisterProcess(const wchar_t* pipe, const char* key, const wchar_t* name,
                      std::size_t name_len) override {
    if (pipe == nullptr || key == nullptr || *key == '\0') return kVexilBadArgument;
    std::lock_guard lock(mutex_);
    if (!initialized_) return kVexilNotInitialized;
    pipe_ = pipe;
    registration_[key] = name != nullptr ? WideToUtf8({name, name_len}) : std::string();
    if (monitoring_) SendRegistrationLocked();
    return kVexilOk;
  }

  int SetCrashCallback(VexilCrashCallback callback, void* context) override {
    g_callback_context.store(context);
    g_callback.store(callback);
    return kVexilOk;
  }

  int SetLimit(int kind, std::uint64_t value) override {
    if (kind != kVexilLimitRecordBytes || value == 0) return kVexilBadArgument;
    std::lock_guard lock(mutex_);
    record_limit_ = value;
    if (monitoring_) SendRegistrationLocked();
    return kVexilOk;
  }

  std::uint32_t HandlerPid() const override {
    std::lock_guard lock(mutex_);
    return handler_pid_;
  }

 private:
  std::wstring PipeNameLocked() const {
    std::wstring pipe = pipe_;
    if (pipe.empty()) pipe = L"vexil-" + std::to_wstring(::GetCurrentProcessId());
    return protocol::FullPipeName(pipe);
  }

  // Joins a handler that already serves the pipe, or starts one and waits
  // (bounded) until it listens.
  HANDLE ConnectToHandler() {
    const std::wstring name = PipeNameLocked();
    if (name.empty()) return nullptr;
    if (HANDLE pipe = OpenPipe(name); pipe != nullptr) return pipe;

    SECURITY_ATTRIBUTES inheritable {sizeof(inheritable), nullptr, TRUE};
    HANDLE ready = ::CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    if (ready == nullptr) return nullptr;
    const std::wstring handler = info_.handler_path;
    std::wstring command = platform::JoinCommandLine(
        {handler, L"--pipe", name, L"--database", info_.database_directory, L"--ready-event",
         std::to_wstring(reinterpret_cast<std::uintptr_t>(ready))},
        platform::Quoting::kAlways);

    // Only the ready event goes to the handler, none of the program's handles.
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    STARTUPINFOEXW startup {};
    startup.StartupInfo.cb = sizeof(startup);
    if (::InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
        ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &ready,
                                    sizeof(ready), nullptr, nullptr)) {
      startup.lpAttributeList = attributes;
    }
    PROCESS_INFORMATION process {};
    // Its own group, no console: what ends the crashing program's console
    // group must not take the handler with it.
    const BOOL started = ::CreateProcessW(
        handler.c_str(), command.data(), nullptr, nullptr, TRUE,
        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
            (startup.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0),
        nullptr, nullptr, &startup.StartupInfo, &process);
    if (startup.lpAttributeList != nullptr) ::DeleteProcThreadAttributeList(attributes);
    if (!started) {
      ::CloseHandle(ready);
      return nullptr;
    }
    ::CloseHandle(process.hThread);
    const DWORD timeout =
        info_.handler_start_timeout_ms > 0 ? static_cast<DWORD>(info_.handler_start_timeout_ms) : 5000;
    HANDLE waits[] = {ready, process.hProcess};
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, timeout);
    bool joinable = woke == WAIT_OBJECT_0;
    if (woke == WAIT_OBJECT_0 + 1) {
      DWORD code = 0;
      joinable = ::GetExitCodeProcess(process.hProcess, &code) && code == kHandlerBusyExit;
    }
    ::CloseHandle(process.hProcess);
    ::CloseHandle(ready);
    return joinable ? OpenPipe(name) : nullptr;
  }

  void SendRegistrationLocked() {
    HANDLE pipe = g_pipe.load();
    if (pipe == nullptr) return;
    nlohmann::json message = {
        {"pid", monitored_pid_},
        {"component", monitored_name_},
        {"version", WideToUtf8(info_.version)},
        {"main_version", WideToUtf8(info_.main_version)},
        {"package", info_.package_id},
        {"app_id", info_.app_id},
        {"machine_guid", info_.machine_guid},
        {"pipe", WideToUtf8(pipe_)},
        {"custom", custom_},
        {"registration", registration_},
        {"record_limit", record_limit_},
    };
    const std::string text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return;
    g_sending_tid.store(::GetCurrentThreadId());
    protocol::SendFrame(pipe, event, protocol::kFrameRegister, text.data(),
                        static_cast<std::uint32_t>(text.size()), kAckTimeoutMs);
    g_sending_tid.store(0);
    ::CloseHandle(event);
  }

  mutable std::mutex mutex_;
  bool initialized_ = false;
  bool monitoring_ = false;
  VexilInitInfo info_;
  std::uint32_t monitored_pid_ = 0;
  std::string monitored_name_;
  std::string temp_directory_;
  std::wstring pipe_;
  std::map<std::string, std::string> custom_;
  std::map<std::string, std::string> registration_;
  std::uint64_t record_limit_ = 0;  // 0: no limit
  std::uint32_t handler_pid_ = 0;
};

}  // namespace
}  // namespace vexil

extern "C" __declspec(dllexport) IVexilAgent* CreateVexilAgent() {
  // One agent per process, never released: it must outlive every thread
  // that can crash.
  static vexil::VexilAgent* agent = new vexil::VexilAgent();
  return agent;
}
