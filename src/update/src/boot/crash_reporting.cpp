#include "boot/crash_reporting.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "base/yvok_guid.h"
#include "command_line.h"
#include "common/report/reporter.h"
#include "common/utils/command_args.h"
#include "emulator/shared/utils/process_utils.h"
#include "platform/library.h"
#include "qtbaseex/helpers.h"

namespace boot {

namespace {

namespace fs = std::filesystem;

constexpr char kLibraryName[] = "client_extension.dll";
constexpr char kHandlerName[] = "crashpad_handler.exe";
constexpr int kUpdateAppType = 3;
constexpr int kInitRecordKind = 128;
constexpr int kHandlerStartTimeoutMs = 5000;
constexpr std::uint64_t kRecordLimitBytes = 10485760;

// Set once by the set-up; the agent and its library live until the process
// ends (the signal handlers are code of that library).
std::mutex g_mutex;
IVexilAgent* g_agent = nullptr;
std::wstring g_component_name;

std::string ComponentVersionUtf8(int type) {
  return base::gstring::ToUtf8(MultiInst::Instance()->GetComponentVersion(type));
}

const std::string& CachedMachineGuid() {
  static const std::string guid = base::yvok_guid::GetYvokGuid();
  return guid;
}

}  // namespace

std::wstring CrashComponentName(int app_type) {
  static const std::map<int, std::wstring> kNames = {
      {1, L"Quarrion"},          {2, L"QuarrionEmulator"},       {3, L"QuarrionUpdate"},
      {4, L"QuarrionService"},   {5, L"QuarrionSetup"},          {6, L"QuarrionBox"},
      {7, L"QuarrionVfs"},       {8, L"QuarrionAssistant"},      {9, L"QuarrionAssistantToast"},
      {10, L"QuarrionLauncher"}, {11, L"DiagnosisTool"},         {12, L"ContextMenu"},
      {13, L"VXKBoxSVC"},        {16, L"QuarrionVm"},
  };
  const auto it = kNames.find(app_type);
  return it == kNames.end() ? std::wstring() : it->second;
}

std::string CrashVersionText(int app_type) {
  switch (app_type) {
    case 1: case 2: case 3: case 4: case 7: case 8: case 9: case 10: case 11: case 12:
    case 14: case 15: case 16: case 17:
      return ComponentVersionUtf8(app_type);
    case 6: case 13:
      return ComponentVersionUtf8(2);
    case 18:
      return ComponentVersionUtf8(13);
    case 5: {
      const auto version = ReadExecutableVersion();
      if (!version) return {};
      // The blanks are this type's own version text; its reports are matched on it.
      return fmt::format(" {}.{}.{} .0", (*version)[0], (*version)[1], (*version)[2]);
    }
    case 21: {
      const auto version = ReadExecutableVersion();
      if (!version) return {};
      return fmt::format("{}.{}.{}.{}", (*version)[0], (*version)[1], (*version)[2],
                         (*version)[3]);
    }
    default:
      return {};
  }
}

std::wstring CrashPipeName(int app_type) {
  const wchar_t* guid = (app_type == 10 || app_type == 11)
                            ? L"7D732609-A734-9178-1492-71A1E213BE35"
                            : L"598FEC22-BD78-BD1B-74C6-307659AD9988";
  return fmt::format(L"\\\\.\\pipe\\{}-{}", MultiInst::Instance()->GetComponentVersion(1), guid);
}

CrashReportConfig MakeUpdateCrashReportConfig() {
  CrashReportConfig config;
  config.app_type = kUpdateAppType;
  config.dump_full_memory = false;
  config.crash_callback = &CrashCallBack;
  config.report_on_exit = true;
  config.main_version = MultiInst::Instance()->GetMainVersion();
  config.version = CrashVersionText(kUpdateAppType);
  config.component_name = CrashComponentName(kUpdateAppType);
  return config;
}

int SetupVexilAgent(const CrashReportConfig& config) {
  std::lock_guard lock(g_mutex);
  if (g_agent != nullptr) return 0;

  const fs::path exe = base::process::GetCurrentExeFullPath();
  if (exe.empty() || !exe.has_parent_path()) return 0;
  const fs::path directory = exe.parent_path();
  const fs::path handler = directory / kHandlerName;

  // Never unloaded: the agent's signal handlers are its code.
  auto* library = new platform::Library(platform::Library::Load(directory / kLibraryName).value_or(platform::Library()));
  if (!library->valid()) {
    delete library;
    return 0;
  }
  auto create = reinterpret_cast<CreateVexilAgentFn>(library->Symbol("CreateVexilAgent"));
  IVexilAgent* agent = create != nullptr ? create() : nullptr;
  if (agent == nullptr) {
    delete library;
    return 0;
  }
  g_agent = agent;
  g_component_name = config.component_name;

  const std::wstring temp_directory =
      base::gstring::FromPath(MultiInst::Instance()->GetTempNimbrelDirectory(0, true));
  VexilInitInfo info;
  info.kind = kInitRecordKind;
  info.handler_path = base::gstring::FromPath(handler);
  info.database_directory = temp_directory;
  info.metrics_directory = temp_directory;
  info.app_key = kCrashAppKey;
  info.app_id = kCrashAppId;
  info.main_version = config.main_version;
  info.package_id = kCrashPackageId;
  info.component_name = config.component_name;
  info.version = base::gstring::FromUtf8(config.version);
  info.handler_start_timeout_ms = kHandlerStartTimeoutMs;
  info.upload_enabled = true;
  info.report_on_exit = config.report_on_exit;
  info.collect_threads = true;
  info.collect_modules = true;
  info.ask_user = false;
  info.dump_full_memory = config.dump_full_memory;
  info.machine_guid = CachedMachineGuid();
  const int result = agent->Initialize(info);

  agent->SetCustomValue("ui_language", "en");
  if (result == 0) {
    const std::string key = fmt::format("procname_by_procid_{}", platform::CurrentProcessId());
    agent->RegisterProcess(CrashPipeName(config.app_type).c_str(), key.c_str(),
                           config.component_name.c_str(), config.component_name.size());
  }
  agent->SetLimit(kVexilLimitRecordBytes, kRecordLimitBytes);
  const std::wstring monitor_directory =
      base::gstring::FromPath(MultiInst::Instance()->GetTempNimbrelDirectory(0, true));
  agent->StartMonitor(platform::CurrentProcessId(), config.component_name.c_str(),
                      config.component_name.size(), monitor_directory.c_str(),
                      monitor_directory.size());
  agent->SetCrashCallback(config.crash_callback, nullptr);
  return result;
}

IVexilAgent* CurrentVexilAgent() {
  std::lock_guard lock(g_mutex);
  return g_agent;
}

}  // namespace boot

void InitCrashReporting(const CrashReportConfig& config) {
  const std::string cmd = command_line::IsFromValue14()
                              ? std::string()
                              : qtbaseex::process::CurrentCmd().toStdString();
  const std::string app_name = base::gstring::ToUtf8(config.component_name);
  nimbrel_report::Reporter::Instance().Report(
      "bugreport_app_launch",
      {{"app_name", app_name}, {"cmd", cmd}, {"build_version", config.version}});

  const int code = boot::SetupVexilAgent(config);
  if (code != 0) {
    nimbrel_report::Reporter::Instance().Report(
        "vexil_init_error", {{"app_name", app_name}, {"error_code", std::to_string(code)}});
  }
}

void ReportProcessCrashEvent(const std::wstring& name) {
  MultiInst* inst = MultiInst::Instance();
  const std::filesystem::path assistant =
      base::gstring::ToPath(inst->GetComponentInstallRoot(1, false)) /
      base::gstring::ToPath(inst->GetComponentVersion(1)) / "QuarrionAssistant.exe";
  std::error_code ec;
  if (!std::filesystem::exists(assistant, ec)) return;
  const std::map<std::wstring, std::wstring> options = {{L"report-process-crash-event", name}};
  ShellExecuteOpen(assistant, BuildArgs(options), nullptr, false,
                   std::filesystem::path(), 1);
}
