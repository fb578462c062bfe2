// The crash agent and its handler program together, in a child that arms
// the agent and then crashes: the handler writes the record, and only then
// does the registered callback run and the process end with its crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/library.h"
#include "sdk/vexil/vexil_agent.h"
#include "support/child.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

constexpr char kDatabaseVariable[] = "VEXIL_TEST_DATABASE";
#ifdef _WIN32
constexpr std::uint32_t kCrashExit = 0xC0000005;  // the access violation's code
constexpr char kCrashName[] = "EXCEPTION_ACCESS_VIOLATION";
#else
constexpr std::uint32_t kCrashExit = 128 + 11;  // died of SIGSEGV
constexpr char kCrashName[] = "SIGSEGV";
#endif

fs::path g_marker;

// Runs on the crashing thread after the handler answered.
void MarkCallback(IVexilAgent*, void*) { std::ofstream(g_marker) << "ran"; }

[[gnu::noinline]] void WriteThrough(volatile int* pointer) { *pointer = 42; }

TEST(ChildBehaviour, CrashWithTheAgent) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP();
  const char* database = std::getenv(kDatabaseVariable);
  if (database == nullptr) std::exit(2);
  g_marker = fs::path(database) / "callback-ran";
  auto library =
      platform::Library::Load(testenv::BinDir() / "client_extension.dll").value_or(platform::Library());
  auto create = reinterpret_cast<CreateVexilAgentFn>(library.Symbol("CreateVexilAgent"));
  if (create == nullptr) std::exit(3);
  IVexilAgent* agent = create();
  VexilInitInfo info;
  info.kind = 128;
  info.handler_path = (testenv::BinDir() / "crashpad_handler.exe").wstring();
  info.database_directory = fs::path(database).wstring();
  info.metrics_directory = info.database_directory;
  info.app_key = "8e4b2c71fa";
  info.app_id = "5b2e9f41-7c3a-4d8e-b6f2-1e9a3c7d5f08";
  info.component_name = L"QuarrionUpdate";
  info.version = L"1.2.3.4";
  info.handler_start_timeout_ms = 30000;
  if (agent->Initialize(info) != kVexilOk) std::exit(4);
  agent->SetCustomValue("ui_language", "en");
  agent->RegisterProcess(L"\\\\.\\pipe\\vexil-test-598FEC22", "procname_by_procid_1",
                         L"QuarrionUpdate", 14);
  const std::wstring temp = info.database_directory;
  if (agent->StartMonitor(1, L"QuarrionUpdate", 14, temp.c_str(), temp.size()) != kVexilOk) {
    std::exit(5);
  }
  agent->SetCrashCallback(&MarkCallback, nullptr);
  WriteThrough(nullptr);
  std::exit(6);  // not reached
}

class CrashReport : public testenv::ProductTest {};

TEST_F(CrashReport, ACrashReachesTheHandlerThenTheCallback) {
  testenv::ChildOptions options;
  // The crash must reach the agent, not the test framework's own catching.
  options.arguments = {"--gtest_catch_exceptions=0"};
  options.environment = testenv::EnvironmentWith({std::string(kDatabaseVariable) + "=" + home().string()});
  testenv::Child child = testenv::StartBehaviour("CrashWithTheAgent", options);
  ASSERT_TRUE(child.valid());
  const auto code = child.Wait(120000);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, kCrashExit);
  EXPECT_EQ(testenv::ReadFile(home() / "callback-ran"), "ran");

  fs::path record;
  for (const auto& entry : fs::directory_iterator(home())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("crash_QuarrionUpdate_", 0) == 0 && entry.path().extension() == ".json") {
      record = entry.path();
    }
  }
  ASSERT_FALSE(record.empty()) << "no crash record in " << home();
  const auto json = nlohmann::json::parse(testenv::ReadFile(record), nullptr, false);
  ASSERT_TRUE(json.is_object());
  EXPECT_EQ(json.value("component", ""), "QuarrionUpdate");
  EXPECT_EQ(json.value("signal_name", ""), kCrashName);
  EXPECT_EQ(json.value("version", ""), "1.2.3.4");
  EXPECT_EQ(json.value("pid", std::int64_t{0}), static_cast<std::int64_t>(child.pid()));
  EXPECT_EQ(json["custom"].value("ui_language", ""), "en");
  EXPECT_EQ(json["process_registration"].value("procname_by_procid_1", ""), "QuarrionUpdate");
  ASSERT_TRUE(json["backtrace"].is_array());
  EXPECT_FALSE(json["backtrace"].empty());
}

}  // namespace
