// Crash reporting of this program: the agent in client_extension.dll is
// loaded from the executable's directory and armed once at start-up; a
// crash then asks the assistant to report it and leaves one critical line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "sdk/vexil/vexil_agent.h"

struct CrashReportConfig {
  int app_type = 0;
  bool dump_full_memory = false;
  VexilCrashCallback crash_callback = nullptr;
  bool report_on_exit = true;
  std::wstring main_version;
  std::string version;          // UTF-8
  std::wstring component_name;
};

namespace boot {

inline constexpr char kCrashAppId[] = "5b2e9f41-7c3a-4d8e-b6f2-1e9a3c7d5f08";
inline constexpr char kCrashAppKey[] = "8e4b2c71fa";
inline constexpr char kCrashPackageId[] = "com.morvath.nimbrel";

// Component name of an application type; empty for types without one.
std::wstring CrashComponentName(int app_type);
// Version text of an application type (UTF-8); empty for unknown types.
std::string CrashVersionText(int app_type);
// "\\.\pipe\<client version>-<GUID of the type's family>".
std::wstring CrashPipeName(int app_type);
// The configuration this program arms the agent with (type 3).
CrashReportConfig MakeUpdateCrashReportConfig();

// The running executable's four version numbers, from the version note the
// build writes into it; nullopt when it has none.
std::optional<std::array<std::uint32_t, 4>> ReadExecutableVersion();

// The set-up proper: loads the agent and drives it. 0 also when there is no
// agent; otherwise the agent's initialisation result.
int SetupVexilAgent(const CrashReportConfig& config);
// The agent the set-up created, null before (or without one).
IVexilAgent* CurrentVexilAgent();

}  // namespace boot

// Reports the launch, arms the agent and reports an agent that would not
// initialise. Once per process.
void InitCrashReporting(const CrashReportConfig& config);
void CrashCallBack(IVexilAgent* agent, void* context);
// Starts the assistant of the client's current version, not waiting, to
// report the crash of `name`; nothing when it is not installed.
void ReportProcessCrashEvent(const std::wstring& name);
