// The crash agent library as the helper meets it: loaded by path, one
// agent per process, and a record checked field by field. The monitor is
// never started here (it would arm this test process); the crash tests of
// the helper's start-up drive it.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/library.h"
#include "sdk/vexil/vexil_agent.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

IVexilAgent* LoadAgent() {
  static platform::Library* library =
      new platform::Library(platform::Library::Load(testenv::BinDir() / "client_extension.dll").value_or(platform::Library()));
  if (!library->valid()) return nullptr;
  auto create = reinterpret_cast<CreateVexilAgentFn>(library->Symbol("CreateVexilAgent"));
  return create != nullptr ? create() : nullptr;
}

class VexilAgent : public testenv::ProductTest {
 protected:
  VexilInitInfo ValidInfo() const {
    VexilInitInfo info;
    info.kind = 128;
    info.handler_path = (testenv::BinDir() / "crashpad_handler.exe").wstring();
    info.database_directory = home().wstring();
    info.metrics_directory = home().wstring();
    info.app_key = "8e4b2c71fa";
    info.app_id = "5b2e9f41-7c3a-4d8e-b6f2-1e9a3c7d5f08";
    info.component_name = L"QuarrionUpdate";
    return info;
  }
};

// One ordered walk: the agent is process-wide and, once initialised, stays
// so; every refusal before that must leave it uninitialised.
TEST_F(VexilAgent, RefusesEachKindOfBadRecordThenAcceptsAGoodOne) {
  IVexilAgent* agent = LoadAgent();
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(LoadAgent(), agent);  // one agent per process

  // Nothing runs before a good record.
  EXPECT_EQ(agent->StartMonitor(1, L"x", 1, L"/tmp", 4), kVexilNotInitialized);
  EXPECT_EQ(agent->RegisterProcess(L"\\\\.\\pipe\\p", "k", L"n", 1), kVexilNotInitialized);
  EXPECT_FALSE(agent->IsMonitoring());

  const fs::path not_executable = home() / "handler.txt";
  std::ofstream(not_executable) << "#!/bin/sh\n";
#ifndef _WIN32
  ::chmod(not_executable.c_str(), 0644);
#endif
  const fs::path a_file = home() / "file";
  std::ofstream(a_file) << "x";

  struct Case {
    const char* what;
    void (*change)(VexilInitInfo&, const fs::path&, const fs::path&);
    int expected;
  };
  const std::vector<Case> cases = {
      {"record kind", [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.kind = 127; },
       kVexilBadRecordKind},
      {"id too short",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.app_id.pop_back(); },
       kVexilBadAppId},
      {"id dash moved",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) {
         i.app_id = "5b2e9f417-c3a-4d8e-b6f2-1e9a3c7d5f08";
       },
       kVexilBadAppId},
      {"id not hex",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.app_id[0] = 'g'; },
       kVexilBadAppId},
      {"key of 9", [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.app_key = "8e4b2c71f"; },
       kVexilBadAppKey},
      {"key of 11",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.app_key = "8e4b2c71fa0"; },
       kVexilBadAppKey},
      {"key not hex",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.app_key = "8e4b2c71fz"; },
       kVexilBadAppKey},
      {"handler missing",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.handler_path += L".gone"; },
       kVexilHandlerMissing},
      {"handler is a directory",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) {
         i.handler_path = testenv::BinDir().wstring();
       },
       kVexilHandlerMissing},
      {"handler not executable",
       [](VexilInitInfo& i, const fs::path& ne, const fs::path&) { i.handler_path = ne.wstring(); },
       kVexilHandlerMissing},
      {"database missing",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.database_directory += L"/none"; },
       kVexilDatabaseUnwritable},
      {"database is a file",
       [](VexilInitInfo& i, const fs::path&, const fs::path& f) { i.database_directory = f.wstring(); },
       kVexilDatabaseUnwritable},
      {"database empty",
       [](VexilInitInfo& i, const fs::path&, const fs::path&) { i.database_directory.clear(); },
       kVexilDatabaseUnwritable},
  };
  for (const Case& c : cases) {
    VexilInitInfo info = ValidInfo();
    c.change(info, not_executable, a_file);
    EXPECT_EQ(agent->Initialize(info), c.expected) << c.what;
    EXPECT_EQ(agent->RegisterProcess(L"\\\\.\\pipe\\p", "k", L"n", 1), kVexilNotInitialized)
        << c.what;
  }

  EXPECT_EQ(agent->Initialize(ValidInfo()), kVexilOk);
  EXPECT_EQ(agent->RegisterProcess(L"\\\\.\\pipe\\p", "k", L"n", 1), kVexilOk);
  EXPECT_EQ(agent->SetCustomValue("ui_language", "en"), kVexilOk);
  EXPECT_EQ(agent->SetCustomValue("", "en"), kVexilBadArgument);
  EXPECT_EQ(agent->SetLimit(kVexilLimitRecordBytes, 10485760), kVexilOk);
  EXPECT_EQ(agent->SetLimit(kVexilLimitRecordBytes, 0), kVexilBadArgument);
  EXPECT_EQ(agent->SetLimit(99, 1), kVexilBadArgument);
  EXPECT_FALSE(agent->IsMonitoring());
  EXPECT_EQ(agent->HandlerPid(), 0u);
}

}  // namespace
