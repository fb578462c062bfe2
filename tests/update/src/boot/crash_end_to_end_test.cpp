// Crashes of the helper's start-up, built as a program: what a crash leaves
// behind (record, log line, assistant start) and how the process ends.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <dlfcn.h>
#include <cmath>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "crash_sandbox.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

using crashtest::Describe;

namespace fs = std::filesystem;

constexpr char kCrashLine[] = "] [void __cdecl CrashCallBack(class IVexilAgent *,void *)] Nimbrel update crash happen\n";

bool BacktraceNames(const nlohmann::json& record, const std::string& function) {
  const auto it = record.find("backtrace");
  if (it == record.end() || !it->is_array()) return false;
  return std::any_of(it->begin(), it->end(), [&](const nlohmann::json& frame) {
    return frame.value("function", std::string()).find(function) != std::string::npos;
  });
}

// The line's level and category, taken from the start of its line.
std::string CrashLinePrefix(const std::string& log) {
  const auto at = log.find(kCrashLine);
  if (at == std::string::npos) return {};
  const std::size_t start = log.rfind('\n', at) + 1;
  return log.substr(start, at - start);
}

void KillRecordedHandler(const fs::path& home) {
  std::ifstream file(home / "handler.pid");
  pid_t pid = 0;
  if (file >> pid && pid > 0) ::kill(pid, SIGKILL);
}

struct CrashCase {
  const char* mode;
  int signo;
  const char* function;  // must appear in the crashed thread's backtrace
  bool on_worker_thread;
};

class InducedCrash : public testenv::ProductTest,
                     public ::testing::WithParamInterface<CrashCase> {};

TEST_P(InducedCrash, LeavesRecordLogLineAssistantStartAndDiesWithItsSignal) {
  const CrashCase& c = GetParam();
  const fs::path assistant = crashtest::InstallAssistant(home());
  const crashtest::Run run = crashtest::RunProgram(crashtest::CrashTriggerProgram(), {"--appstore-pid", "7"},
                                        home(), {std::string("QUARRION_TEST_CRASH=") + c.mode});
  ASSERT_FALSE(run.hung);
  ASSERT_TRUE(WIFSIGNALED(run.status)) << Describe(run);
  EXPECT_EQ(WTERMSIG(run.status), c.signo);

  const std::vector<fs::path> records = crashtest::CrashRecords(home());
  ASSERT_EQ(records.size(), 1u);
  const nlohmann::json record = crashtest::ReadJson(records[0]);
  ASSERT_TRUE(record.is_object()) << testenv::ReadFile(records[0]);
  EXPECT_EQ(record.value("component", ""), "QuarrionUpdate");
  EXPECT_EQ(record.value("pid", 0), run.pid);
  EXPECT_EQ(record.value("signal", 0), c.signo);
  EXPECT_EQ(record.value("version", ""), "1.0.0.0");
  EXPECT_EQ(record.value("truncated", true), false);
  EXPECT_FALSE(record.value("time", "").empty());
  EXPECT_EQ(record["custom"], (nlohmann::json{{"ui_language", "en"}}));
  EXPECT_EQ(record["process_registration"],
            (nlohmann::json::object({{"procname_by_procid_" + std::to_string(run.pid), "QuarrionUpdate"}})));
  EXPECT_EQ(record.value("pipe", ""),
            "\\\\.\\pipe\\1.0.0.0-598FEC22-BD78-BD1B-74C6-307659AD9988");
  EXPECT_EQ(record.value("tid", 0) != run.pid, c.on_worker_thread);
  EXPECT_TRUE(BacktraceNames(record, c.function)) << record["backtrace"].dump(1);

  const std::string log = crashtest::LogText(home());
  EXPECT_NE(CrashLinePrefix(log).find("[C] [quarrion.app_launch] ["), std::string::npos) << log;

  EXPECT_EQ(crashtest::WaitForAssistantArgv(),
            (std::vector<std::string>{assistant.string(), "--report-process-crash-event",
                                      "QuarrionUpdate"}));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, InducedCrash,
    ::testing::Values(CrashCase{"null", SIGSEGV, "CrashTriggerNullDereference", false},
                      CrashCase{"abort", SIGABRT, "CrashTriggerAbort", false},
                      CrashCase{"overflow", SIGSEGV, "CrashTriggerStackOverflow", false},
                      CrashCase{"thread", SIGSEGV, "CrashTriggerNullDereference", true}),
    [](const auto& info) { return std::string(info.param.mode); });

// Without its handler, or with one that never answers, a crash still ends
// the process with its signal, logs and starts the assistant; only the
// record is missing.
class HandlerTrouble : public testenv::ProductTest,
                       public ::testing::WithParamInterface<const char*> {};

TEST_P(HandlerTrouble, CrashStillEndsTheProcessWithItsSignal) {
  crashtest::InstallAssistant(home());
  const crashtest::Run run = crashtest::RunProgram(
      crashtest::CrashTriggerProgram(), {}, home(),
      {"QUARRION_TEST_CRASH=null", std::string("QUARRION_TEST_CRASH_HANDLER=") + GetParam()});
  KillRecordedHandler(home());
  ASSERT_TRUE(fs::exists(home() / "handler.pid")) << "the agent had no handler to disturb";
  ASSERT_FALSE(run.hung);
  ASSERT_TRUE(WIFSIGNALED(run.status)) << Describe(run);
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  EXPECT_TRUE(crashtest::CrashRecords(home()).empty());
  EXPECT_FALSE(CrashLinePrefix(crashtest::LogText(home())).empty());
  EXPECT_EQ(crashtest::WaitForAssistantArgv().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Handler, HandlerTrouble, ::testing::Values("gone", "stuck"));

class CrashReporting : public testenv::ProductTest {};

// The handler leaves the start directory; a home named relative to it
// must still lead it to the crashing process's socket and temp directory.
TEST_F(CrashReporting, ACrashUnderARelativeHomeIsCaptured) {
  // Started beside the home, which it names by its folder name alone.
  const crashtest::Run run = crashtest::RunProgram(
      crashtest::CrashTriggerProgram(), {}, home(),
      {"QUARRION_TEST_CRASH=null", "QUARRION_HOME=" + home().filename().string()},
      home().parent_path());
  ASSERT_TRUE(WIFSIGNALED(run.status)) << Describe(run);
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  const std::vector<fs::path> records = crashtest::CrashRecords(home());
  ASSERT_EQ(records.size(), 1u) << crashtest::LogText(home());
  EXPECT_EQ(crashtest::ReadJson(records[0]).value("pid", 0), run.pid);
}

TEST_F(CrashReporting, WithoutTheAssistantACrashLeavesTheLogLineAndTheRecord) {
  const crashtest::Run run = crashtest::RunProgram(crashtest::CrashTriggerProgram(), {}, home(),
                                        {"QUARRION_TEST_CRASH=null"});
  ASSERT_TRUE(WIFSIGNALED(run.status)) << Describe(run);
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  EXPECT_FALSE(CrashLinePrefix(crashtest::LogText(home())).empty());
  EXPECT_EQ(crashtest::CrashRecords(home()).size(), 1u);
  EXPECT_TRUE(testenv::ReadStandinCommands().empty());
}

// The record never grows beyond the limit the agent was given: the outer
// frames and then the custom values give way, and the record says so.
TEST_F(CrashReporting, RecordStaysWithinItsSizeLimit) {
  struct Case {
    std::uint64_t limit;
    std::size_t padding;
    bool truncated;
    bool keeps_padding;
  };
  for (const Case& c : {Case{10485760, 4000, false, true}, Case{1800, 400, true, true},
                        Case{1200, 4000, true, false}}) {
    SCOPED_TRACE(c.limit);
    testenv::ProductHome fresh;
    const crashtest::Run run = crashtest::RunProgram(
        crashtest::CrashTriggerProgram(), {}, fresh.path(),
        {"QUARRION_TEST_CRASH=null", "QUARRION_TEST_CRASH_LIMIT=" + std::to_string(c.limit),
         "QUARRION_TEST_CRASH_CUSTOM_BYTES=" + std::to_string(c.padding)});
    ASSERT_TRUE(WIFSIGNALED(run.status)) << Describe(run);
    const std::vector<fs::path> records = crashtest::CrashRecords(fresh.path());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_LE(fs::file_size(records[0]), c.limit);
    const nlohmann::json record = crashtest::ReadJson(records[0]);
    ASSERT_TRUE(record.is_object());
    EXPECT_EQ(record.value("truncated", !c.truncated), c.truncated);
    EXPECT_EQ(record.value("pid", 0), run.pid);
    EXPECT_EQ(record.value("signal", 0), SIGSEGV);
    EXPECT_EQ(record["custom"].contains("test_padding"), c.keeps_padding);
    if (!c.truncated) {
      EXPECT_TRUE(BacktraceNames(record, "CrashTriggerNullDereference"));
    }
  }
}

// An agent library that is missing or lacks its export: no crash
// reporting at all, and nothing said about it.
TEST_F(CrashReporting, MissingLibraryOrExportMeansNoReportingAndNoNoise) {
  Dl_info info {};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&std::cos)), &info), 0);
  const fs::path foreign_library = info.dli_fname;
  for (const bool with_foreign_library : {false, true}) {
    SCOPED_TRACE(with_foreign_library ? "library without the export" : "no library");
    testenv::ProductHome fresh;
    const fs::path dir = fresh.path() / "bin";
    crashtest::CopyFromBin(
        dir, {"QuarrionUpdate.exe", "QuarrionUpdateCrashTrigger.exe", "crashpad_handler.exe"});
    if (with_foreign_library) fs::copy_file(foreign_library, dir / "client_extension.dll");
    crashtest::InstallAssistant(fresh.path());

    const crashtest::Run run = crashtest::RunProgram(dir / "QuarrionUpdateCrashTrigger.exe", {}, fresh.path(),
                                          {"QUARRION_TEST_CRASH=null"});
    ASSERT_TRUE(WIFSIGNALED(run.status)) << Describe(run);
    EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
    EXPECT_TRUE(crashtest::CrashRecords(fresh.path()).empty());
    EXPECT_TRUE(CrashLinePrefix(crashtest::LogText(fresh.path())).empty());
    EXPECT_TRUE(testenv::ReadStandinCommands().empty());

    // A whole run: the launch is still reported (events queued before a
    // crash may be lost with the process, so this one ends normally).
    const crashtest::Run whole = crashtest::RunProgram(
        dir / "QuarrionUpdate.exe", {"--appstore-pid", "4194304"}, fresh.path());
    ASSERT_TRUE(WIFEXITED(whole.status)) << Describe(whole);
    EXPECT_TRUE(testenv::ReadEventParams("vexil_init_error").empty());
    const auto launches = testenv::ReadSpoolEvents("bugreport_app_launch");
    EXPECT_EQ(std::count_if(launches.begin(), launches.end(),
                            [&](const nlohmann::json& e) { return e.value("pid", 0) == whole.pid; }),
              1);
    EXPECT_EQ(crashtest::LogText(fresh.path()).find("crash"), std::string::npos);
  }
}

}  // namespace
