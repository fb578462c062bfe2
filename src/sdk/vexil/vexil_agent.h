// The crash agent's interface, as the helper sees it: a shared library
// (client_extension.dll) loaded at run time whose export CreateVexilAgent
// returns the process's one agent. Only this header is shared; the helper
// never links the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class IVexilAgent;

// Called on the crashing thread after the handler has written the record
// (or has not answered in time), just before the process dies.
using VexilCrashCallback = void (*)(IVexilAgent* agent, void* context);

// What Initialize takes, in this order.
struct VexilInitInfo {
  int kind = 0;                      // 128: this layout
  std::wstring handler_path;         // crashpad_handler.exe
  std::wstring database_directory;   // crash records go here
  std::wstring metrics_directory;
  std::string app_key;               // 10 hexadecimal characters
  std::string app_id;                // UUID form
  std::wstring main_version;
  std::string package_id;
  std::wstring component_name;
  std::wstring version;
  int handler_start_timeout_ms = 0;  // how long to wait for the handler to listen
  bool upload_enabled = false;
  bool report_on_exit = false;
  bool collect_threads = false;
  bool collect_modules = false;
  bool ask_user = false;
  bool dump_full_memory = false;
  std::string machine_guid;
};

// Non-zero results of Initialize, one per kind of invalid record.
enum VexilInitError : int {
  kVexilOk = 0,
  kVexilBadRecordKind = 1,
  kVexilBadAppId = 2,
  kVexilBadAppKey = 3,
  kVexilHandlerMissing = 4,
  kVexilDatabaseUnwritable = 5,
  kVexilNotInitialized = 6,   // an operation that needs Initialize first
  kVexilHandlerUnavailable = 7,
  kVexilBadArgument = 8,
};

// SetLimit kinds.
enum VexilLimitKind : int {
  kVexilLimitRecordBytes = 1,  // largest crash record the handler writes
};

class IVexilAgent {
 public:
  virtual int InterfaceVersion() const = 0;
  virtual int Initialize(const VexilInitInfo& info) = 0;
  // Starts the handler (or joins the one already serving the pipe) and arms
  // the fatal-signal handlers of the process.
  virtual int StartMonitor(std::uint32_t pid, const wchar_t* component, std::size_t component_len,
                           const wchar_t* temp_directory, std::size_t temp_directory_len) = 0;
  virtual bool IsMonitoring() const = 0;
  virtual int SetCustomValue(const char* key, const char* value) = 0;
  // `pipe` is a Windows pipe name (\\.\pipe\<name>); here it names a local
  // socket <database directory>/pipe/<name>.
  virtual int RegisterProcess(const wchar_t* pipe, const char* key, const wchar_t* name,
                              std::size_t name_len) = 0;
  virtual int SetCrashCallback(VexilCrashCallback callback, void* context) = 0;
  virtual int SetLimit(int kind, std::uint64_t value) = 0;
  virtual std::uint32_t HandlerPid() const = 0;

 protected:
  ~IVexilAgent() = default;  // the agent lives until the process ends
};

extern "C" {
using CreateVexilAgentFn = IVexilAgent* (*)();
}
