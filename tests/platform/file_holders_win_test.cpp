#include "platform/file_holders_win.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "support/file_holder.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using platform::file_holders::FindFileHolders;
using platform::file_holders::Holder;
using platform::file_holders::win::HoldersFromAnswer;

TEST(ChildBehaviour, HoldFile) { testenv::HoldFileBehaviour(); }

RM_PROCESS_INFO Listed(DWORD pid, const wchar_t* app_name) {
  RM_PROCESS_INFO info{};
  info.Process.dwProcessId = pid;
  std::wcsncpy(info.strAppName, app_name, CCH_RM_MAX_APP_NAME);
  return info;
}

// Wine's Restart Manager (8.0) is a stub: sessions start and every list
// comes back empty, whoever holds the file.
bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(FileHoldersWinTest, TheManagersAnswerBecomesHoldersOrItsError) {
  const std::map<platform::Pid, std::wstring> snapshot = {{40, L"Quarrion.exe"},
                                                          {12, L"QuarrionVm.exe"}};
  const auto image_of = [&](platform::Pid pid) {
    const auto found = snapshot.find(pid);
    return found == snapshot.end() ? std::wstring() : found->second;
  };
  const struct {
    const char* label;
    DWORD status;
    std::vector<RM_PROCESS_INFO> listed;
    platform::ErrorCode error;
    std::vector<Holder> holders;
  } cases[] = {
      {"nothing holds it (all Wine ever answers)", ERROR_SUCCESS, {}, 0, {}},
      {"the manager failed", ERROR_ACCESS_DENIED, {}, platform::kErrorAccessDenied, {}},
      {"not there at all", ERROR_CALL_NOT_IMPLEMENTED, {Listed(40, L"Quarrion")}, 120, {}},
      // Named from the snapshot; a process gone from it keeps the
      // manager's name. Each pid once, in pid order; pid 0 is no process.
      {"holders",
       ERROR_SUCCESS,
       {Listed(40, L"Quarrion"), Listed(0, L"System Idle"), Listed(77, L"Some Tool"),
        Listed(12, L"Quarrion VM"), Listed(40, L"Quarrion")},
       0,
       {{12, L"QuarrionVm.exe"}, {40, L"Quarrion.exe"}, {77, L"Some Tool"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto search = HoldersFromAnswer(c.status, c.listed, image_of);
    ASSERT_EQ(search.error(), c.error);
    if (!search) continue;
    EXPECT_FALSE(search->gave_up);
    EXPECT_EQ(search->holders, c.holders);
  }
}

class FileHoldersTest : public testenv::ProductTest {};

TEST_F(FileHoldersTest, AHeldFileIsAskedOfTheRestartManager) {
  const fs::path file = home() / "held.dat";
  std::ofstream(file, std::ios::binary) << "payload";
  testenv::FileHolder holder = testenv::FileHolder::Start(file);
  ASSERT_TRUE(holder.valid());

  const auto search = FindFileHolders(file, platform::TickCount64() + 60000);
  ASSERT_TRUE(search) << search.error();
  EXPECT_FALSE(search->gave_up);
  const std::vector<Holder> expected =
      UnderWine() ? std::vector<Holder>{}
                  : std::vector<Holder>{{holder.pid(), L"test_platform.exe"}};
  EXPECT_EQ(search->holders, expected);

  const auto late = FindFileHolders(file, platform::TickCount64());
  ASSERT_TRUE(late);
  EXPECT_TRUE(late->gave_up);
  EXPECT_TRUE(late->holders.empty());
}

}  // namespace
