// The crash set-up's tables and the pieces it drives, in this process; and
// the launch events of the built helper.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/xchar.h>
#include <sys/wait.h>

#include <cstring>

#include <fstream>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "base/reg.h"
#include "boot/crash_reporting.h"
#include "boot/executable_version.h"
#include "crash_sandbox.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

void SetComponentVersion(int type, const std::wstring& version) {
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(type),
                      L"Version", version);
}

class CrashTables : public testenv::ProductTest {};

TEST_F(CrashTables, ComponentNameOfEveryType) {
  const std::vector<std::pair<int, std::wstring>> cases = {
      {-1, L""}, {0, L""}, {1, L"Quarrion"}, {2, L"QuarrionEmulator"}, {3, L"QuarrionUpdate"},
      {4, L"QuarrionService"}, {5, L"QuarrionSetup"}, {6, L"QuarrionBox"}, {7, L"QuarrionVfs"},
      {8, L"QuarrionAssistant"}, {9, L"QuarrionAssistantToast"}, {10, L"QuarrionLauncher"},
      {11, L"DiagnosisTool"}, {12, L"ContextMenu"}, {13, L"VXKBoxSVC"}, {14, L""}, {15, L""},
      {16, L"QuarrionVm"}, {17, L""}, {18, L""}, {21, L""}, {22, L""}};
  for (const auto& [type, name] : cases) {
    EXPECT_EQ(boot::CrashComponentName(type), name) << type;
  }
}

// Each component gets its own version, so a type that reads the wrong
// component shows.
TEST_F(CrashTables, VersionTextOfEveryType) {
  for (int component = 1; component <= 18; ++component) {
    SetComponentVersion(component, fmt::format(L"{}.0.0.{}", component, component + 100));
  }
  const auto own = [](int c) { return fmt::format("{}.0.0.{}", c, c + 100); };
  const std::array<std::uint32_t, 4> built = boot::BuiltVersion();
  const std::vector<std::pair<int, std::string>> cases = {
      {0, ""},      {1, own(1)},   {2, own(2)},   {3, own(3)},   {4, own(4)},
      {6, own(2)},  {7, own(7)},   {8, own(8)},   {9, own(9)},   {10, own(10)},
      {11, own(11)}, {12, own(12)}, {13, own(2)},  {14, own(14)}, {15, own(15)},
      {16, own(16)}, {17, own(17)}, {18, own(13)}, {19, ""},      {20, ""},
      {22, ""},
      {5, fmt::format(" {}.{}.{} .0", built[0], built[1], built[2])},
      {21, fmt::format("{}.{}.{}.{}", built[0], built[1], built[2], built[3])}};
  for (const auto& [type, text] : cases) {
    EXPECT_EQ(boot::CrashVersionText(type), text) << type;
  }
}

TEST_F(CrashTables, PipeNameCarriesClientVersionAndTheFamilyGuid) {
  SetComponentVersion(1, L"7.3.0.12");
  SetComponentVersion(3, L"9.9.9.9");  // not the one the name uses
  const std::wstring launcher_family = L"\\\\.\\pipe\\7.3.0.12-7D732609-A734-9178-1492-71A1E213BE35";
  const std::wstring others = L"\\\\.\\pipe\\7.3.0.12-598FEC22-BD78-BD1B-74C6-307659AD9988";
  for (int type : {10, 11}) EXPECT_EQ(boot::CrashPipeName(type), launcher_family) << type;
  for (int type : {0, 1, 3, 9, 12, 21}) EXPECT_EQ(boot::CrashPipeName(type), others) << type;
}

TEST_F(CrashTables, UpdateConfigurationIsTypeThreeWithItsTexts) {
  SetComponentVersion(3, L"2.4.6.8");
  const CrashReportConfig config = boot::MakeUpdateCrashReportConfig();
  EXPECT_EQ(config.app_type, 3);
  EXPECT_FALSE(config.dump_full_memory);
  EXPECT_TRUE(config.report_on_exit);
  EXPECT_EQ(config.crash_callback, &CrashCallBack);
  EXPECT_EQ(config.version, "2.4.6.8");
  EXPECT_EQ(config.component_name, L"QuarrionUpdate");
  EXPECT_EQ(config.main_version, MultiInst::Instance()->GetMainVersion());
}

// The version is read back from the program file the build wrote it into.
TEST(ExecutableVersion, ReadsTheNoteTheBuildWroteAndRejectsDamagedImages) {
  ASSERT_EQ(boot::ReadExecutableVersion(), boot::BuiltVersion());
  const std::string image = testenv::ReadFile(base::process::GetCurrentExeFullPath());
  ASSERT_FALSE(image.empty());
  ASSERT_EQ(boot::ParseVersionNote(image), boot::BuiltVersion());

  std::string bad_magic = image;
  bad_magic[1] = 'X';
  std::string headers_past_end = image;
  const std::uint64_t far = image.size() + 4096;
  std::memcpy(headers_past_end.data() + 0x28, &far, sizeof(far));  // e_shoff
  for (const std::string& damaged :
       {std::string(), image.substr(0, 63), image.substr(0, 4096), bad_magic, headers_past_end}) {
    EXPECT_EQ(boot::ParseVersionNote(damaged), std::nullopt) << damaged.size();
  }
  // A build without the note: the helper of another build would say nothing.
  const std::string other = testenv::ReadFile(testenv::StandinProgram());
  ASSERT_FALSE(other.empty());
  EXPECT_EQ(boot::ParseVersionNote(other), std::nullopt);
}

class CrashEvent : public testenv::ProductTest {};

TEST_F(CrashEvent, StartsTheClientsAssistantWithTheComponentName) {
  SetComponentVersion(1, L"3.0.0.7");
  const fs::path assistant = crashtest::InstallAssistant(home());
  EXPECT_EQ(assistant.parent_path().filename(), "3.0.0.7");
  ReportProcessCrashEvent(L"QuarrionUpdate");
  EXPECT_EQ(crashtest::WaitForAssistantArgv(),
            (std::vector<std::string>{assistant.string(), "--report-process-crash-event",
                                      "QuarrionUpdate"}));
}

TEST_F(CrashEvent, AssistantOfAnotherVersionOrNoneIsNotStarted) {
  SetComponentVersion(1, L"3.0.0.7");
  crashtest::InstallAssistant(home());  // installed for 3.0.0.7 only
  SetComponentVersion(1, L"3.0.0.8");
  ReportProcessCrashEvent(L"QuarrionUpdate");
  // Nothing was started that could still record: the call did not launch.
  EXPECT_TRUE(testenv::ReadStandinCommands().empty());
}

// The built helper reports its launch on every start.
class LaunchEvent : public testenv::ProductTest {};

TEST_F(LaunchEvent, CarriesNameVersionAndTheRawCommandLineExceptUnderFrom14) {
  struct Case {
    std::vector<std::string> args;
    bool cmd_empty;
  };
  const std::string program = crashtest::HelperProgram().string();
  for (const Case& c : {Case{{"--appstore-pid", "4194304", "--from", "14"}, true},
                        Case{{"--appstore-pid", "4194304", "--from", "14abc"}, true},
                        Case{{"--appstore-pid", "4194304", "--from=14"}, false},
                        Case{{"--appstore-pid", "4194304", "--from", "15"}, false}}) {
    testenv::ProductHome fresh;
    SetComponentVersion(3, L"5.6.7.8");
    const crashtest::Run run = crashtest::RunProgram(program, c.args, fresh.path());
    ASSERT_TRUE(WIFEXITED(run.status)) << crashtest::Describe(run);
    const auto launches = testenv::ReadEventParams("bugreport_app_launch");
    ASSERT_EQ(launches.size(), 1u);
    std::string joined = program;
    for (const std::string& a : c.args) joined += " " + a;
    EXPECT_EQ(launches[0],
              (std::map<std::string, std::string>{{"app_name", "QuarrionUpdate"},
                                                  {"build_version", "5.6.7.8"},
                                                  {"cmd", c.cmd_empty ? "" : joined}}))
        << joined;
    EXPECT_TRUE(testenv::ReadEventParams("vexil_init_error").empty());
  }
}

// An agent that refuses its record (here: no handler program beside it) is
// reported with its code; the process is then not monitored, so a crash
// leaves no record and no callback runs.
TEST_F(LaunchEvent, AgentThatWillNotInitialiseIsReportedWithItsCode) {
  const fs::path dir = home() / "bin";
  crashtest::CopyFromBin(
      dir, {"QuarrionUpdate.exe", "QuarrionUpdateCrashTrigger.exe", "client_extension.dll"});
  crashtest::InstallAssistant(home());
  const crashtest::Run whole = crashtest::RunProgram(
      dir / "QuarrionUpdate.exe", {"--appstore-pid", "4194304"}, home());
  ASSERT_TRUE(WIFEXITED(whole.status)) << crashtest::Describe(whole);
  EXPECT_EQ(testenv::ReadEventParams("vexil_init_error"),
            (std::vector<std::map<std::string, std::string>>{
                {{"app_name", "QuarrionUpdate"},
                 {"error_code", std::to_string(kVexilHandlerMissing)}}}));
  EXPECT_EQ(testenv::ReadEventParams("bugreport_app_launch").size(), 1u);
  EXPECT_FALSE(fs::exists(home() / "temp" / "pipe"));

  const crashtest::Run run = crashtest::RunProgram(dir / "QuarrionUpdateCrashTrigger.exe", {},
                                                   home(), {"QUARRION_TEST_CRASH=null"});
  ASSERT_TRUE(WIFSIGNALED(run.status)) << crashtest::Describe(run);
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  EXPECT_TRUE(crashtest::CrashRecords(home()).empty());
  EXPECT_EQ(crashtest::LogText(home()).find("crash happen"), std::string::npos);
  EXPECT_TRUE(testenv::ReadStandinCommands().empty());
}

}  // namespace
