#include "base/reg.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>

#include "base/misc.h"
#include "base/multi_inst.h"
#include "base/yvok_guid.h"
#include "platform/registry.h"
#include "support/scoped_env.h"
#include "support/test_env.h"

namespace {

namespace reg = base::reg;
constexpr wchar_t kKey[] = L"Software\\Quarrion\\BaseRegTest";

class BaseRegTest : public testenv::ProductTest {};

TEST_F(BaseRegTest, NumbersAndStringsWithDefaults) {
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Missing", std::uint64_t{42}), 42u);
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Missing", L"fallback"), L"fallback");

  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Small", 7));
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Big", std::uint64_t{1} << 40));
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Text", L"\u00e9t\u00e9"));
  // Numbers that fit are DWORDs, as other programs of the product read them.
  EXPECT_EQ(platform::registry::ValueType(platform::registry::Root::kCurrentUser, kKey, L"Small")
                .value_or(std::nullopt),
            platform::registry::kTypeDword);
  EXPECT_EQ(platform::registry::ValueType(platform::registry::Root::kCurrentUser, kKey, L"Big")
                .value_or(std::nullopt),
            platform::registry::kTypeQword);
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"small", std::uint64_t{0}), 7u);
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"BIG", std::uint64_t{0}), std::uint64_t{1} << 40);
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"text", L""), L"\u00e9t\u00e9");
  // A value of the other kind reads as absent.
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Text", std::uint64_t{9}), 9u);
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Small", L"dflt"), L"dflt");

  // Any integer type is accepted; small negatives keep their DWORD bits.
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Dw", DWORD{5}));
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Neg", -1));
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Dw", std::uint64_t{0}), 5u);
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Neg", std::uint64_t{0}), 0xFFFFFFFFu);

  EXPECT_TRUE(reg::IsExist(HKEY_CURRENT_USER, kKey, L"Small"));
  EXPECT_TRUE(reg::IsExist(HKEY_CURRENT_USER, kKey, L""));  // the key itself
  EXPECT_FALSE(reg::IsExist(HKEY_LOCAL_MACHINE, kKey, L"Small"));
  EXPECT_TRUE(reg::DeleteValue(HKEY_CURRENT_USER, kKey, L"Small"));
  EXPECT_FALSE(reg::IsExist(HKEY_CURRENT_USER, kKey, L"Small"));
  EXPECT_TRUE(reg::DeleteValue(HKEY_CURRENT_USER, kKey, L"Small"));  // already gone
}

TEST_F(BaseRegTest, ExpandsEnvironmentReferencesOnRequest) {
  testenv::ScopedEnv dir("QUARRION_REG_TEST_DIR", "/opt/q");
  testenv::ScopedEnv unset("QUARRION_REG_TEST_UNSET", std::nullopt);
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Path",
                            L"%QUARRION_REG_TEST_DIR%\\bin;%QUARRION_REG_TEST_UNSET%;100%"));
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Path", L"", true),
            L"/opt/q\\bin;%QUARRION_REG_TEST_UNSET%;100%");
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Path", L"", false),
            L"%QUARRION_REG_TEST_DIR%\\bin;%QUARRION_REG_TEST_UNSET%;100%");
}

TEST_F(BaseRegTest, DurationKeepsItsStampInTheRegistry) {
  const std::wstring root = MultiInst::Instance()->GetComponentRegRoot(0);
  base::misc::Duration first(L"FetchOpenglInfoQuarrionAssistant.exe", HKEY_CURRENT_USER);
  EXPECT_TRUE(first.CheckElapsed(3600000));  // no stamp yet
  const std::uint64_t stamp =
      reg::GetValue(HKEY_CURRENT_USER, root, L"FetchOpenglInfoQuarrionAssistant.exe", std::uint64_t{0});
  EXPECT_NE(stamp, 0u);
  // A second object (as in the next run) sees the same stamp.
  base::misc::Duration again(L"FetchOpenglInfoQuarrionAssistant.exe", HKEY_CURRENT_USER);
  EXPECT_FALSE(again.CheckElapsed(3600000));
  EXPECT_TRUE(again.CheckElapsed(0));
  // The roots are separate.
  base::misc::Duration machine(L"FetchOpenglInfoQuarrionAssistant.exe", HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(machine.CheckElapsed(3600000));

  // An old stamp has elapsed; one from the future (clock set back) too.
  const auto now = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::system_clock::now().time_since_epoch())
                                                  .count());
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, root, L"Probe", now - 7200000));
  EXPECT_TRUE(base::misc::Duration(L"Probe", HKEY_CURRENT_USER).CheckElapsed(3600000));
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, root, L"Probe", now + 86400000));
  EXPECT_TRUE(base::misc::Duration(L"Probe", HKEY_CURRENT_USER).CheckElapsed(3600000));
  EXPECT_FALSE(base::misc::Duration(L"Probe", HKEY_CURRENT_USER).CheckElapsed(3600000));
}

bool LooksLikeGuid(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (s[i] == '-')) return false;
    if (!dash && !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

TEST_F(BaseRegTest, MachineGuidIsMadeOnceAndKept) {
  const std::string guid = base::yvok_guid::GetYvokGuid();
  EXPECT_TRUE(LooksLikeGuid(guid)) << guid;
  EXPECT_EQ(base::yvok_guid::GetYvokGuid(), guid);
  EXPECT_EQ(reg::GetValue(HKEY_LOCAL_MACHINE, L"Software\\Quarrion", L"MachineGuid", L""),
            std::wstring(guid.begin(), guid.end()));

  // Another machine (home) gets another identifier; an identifier that is
  // already there is used as it stands.
  testenv::ProductHome other;
  const std::string second = base::yvok_guid::GetYvokGuid();
  EXPECT_TRUE(LooksLikeGuid(second));
  EXPECT_NE(second, guid);
  ASSERT_TRUE(reg::SetValue(HKEY_LOCAL_MACHINE, L"Software\\Quarrion", L"MachineGuid", L"preset-id"));
  EXPECT_EQ(base::yvok_guid::GetYvokGuid(), "preset-id");
}

#ifndef _WIN32
TEST_F(BaseRegTest, ProcessesStartingTogetherAgreeOnTheMachineGuid) {
  int gate[2];
  int results[2];
  ASSERT_EQ(::pipe(gate), 0);
  ASSERT_EQ(::pipe(results), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 3; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      (void)!::read(gate[0], &c, 1);
      const std::string guid = base::yvok_guid::GetYvokGuid() + "\n";
      (void)!::write(results[1], guid.data(), guid.size());
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);
  ::close(results[1]);
  for (pid_t pid : children) ::waitpid(pid, nullptr, 0);
  std::string all;
  char buf[256];
  ssize_t n;
  while ((n = ::read(results[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
  ::close(results[0]);

  const std::string mine = base::yvok_guid::GetYvokGuid();
  ASSERT_TRUE(LooksLikeGuid(mine));
  EXPECT_EQ(all, mine + "\n" + mine + "\n" + mine + "\n");
}
#endif

// Keys are handles as on Windows: the two predefined roots map to their own
// stores, and any other handle value reaches neither.
TEST_F(BaseRegTest, PredefinedKeysMapToTheirRootsAndOtherHandlesToNone) {
  ASSERT_TRUE(reg::SetValue(HKEY_CURRENT_USER, kKey, L"Where", L"user"));
  ASSERT_TRUE(reg::SetValue(HKEY_LOCAL_MACHINE, kKey, L"Where", L"machine"));
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Where", L""), L"user");
  EXPECT_EQ(reg::GetValue(HKEY_LOCAL_MACHINE, kKey, L"Where", L""), L"machine");

  const HKEY others[] = {nullptr, reinterpret_cast<HKEY>(static_cast<std::intptr_t>(
                                      static_cast<std::int32_t>(0x80000003u))),  // the users root
                         reinterpret_cast<HKEY>(std::intptr_t{1})};
  for (HKEY other : others) {
    EXPECT_EQ(reg::GetValue(other, kKey, L"Where", L"none"), L"none");
    EXPECT_EQ(reg::GetValue(other, kKey, L"Where", std::uint64_t{5}), 5u);
    EXPECT_FALSE(reg::SetValue(other, kKey, L"Where", L"x"));
    EXPECT_FALSE(reg::IsExist(other, kKey, L"Where"));
    EXPECT_FALSE(reg::IsExist(other, kKey, L""));
    EXPECT_FALSE(reg::DeleteValue(other, kKey, L"Where"));
  }
  EXPECT_EQ(reg::GetValue(HKEY_CURRENT_USER, kKey, L"Where", L""), L"user");
  EXPECT_EQ(reg::GetValue(HKEY_LOCAL_MACHINE, kKey, L"Where", L""), L"machine");
}

}  // namespace
