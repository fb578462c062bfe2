#include "base/multi_inst.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

#include "base/gstring.h"
#include "base/misc.h"
#include "base/reg.h"
#include "base/yvok_guid.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/session.h"
#include "support/child.h"
#include "support/scoped_env.h"
#include "support/test_env.h"

namespace {

using base::gstring::FromPath;
using base::gstring::ToPath;

class MultiInstTest : public testenv::ProductTest {
 protected:
  MultiInst* mi() { return MultiInst::Instance(); }
};

using testenv::ScopedEnv;

TEST_F(MultiInstTest, DefaultsLiveUnderTheHome) {
  EXPECT_EQ(mi()->Home(), home());
  EXPECT_EQ(platform::registry::StorageDirectory(), home() / "registry");
  EXPECT_EQ(mi()->LogsDirectory(), home() / "logs");

  EXPECT_EQ(mi()->GetComponentRegRoot(0), L"Software\\Quarrion");
  EXPECT_EQ(mi()->GetComponentRegRoot(1), L"Software\\Quarrion\\Client");
  EXPECT_EQ(mi()->GetComponentRegRoot(2), L"Software\\Quarrion\\Emulator");
  EXPECT_EQ(mi()->GetComponentRegRoot(3), L"Software\\Quarrion\\Vm");
  EXPECT_EQ(mi()->GetComponentRegRoot(4), L"Software\\Quarrion\\Service");
  EXPECT_EQ(mi()->GetComponentRegRoot(13), L"Software\\Quarrion\\Assistant");
  EXPECT_EQ(mi()->GetComponentRegRoot(201), L"Software\\Quarrion\\Update");
  EXPECT_EQ(mi()->GetComponentRegRoot(7), L"Software\\Quarrion\\Component7");
  EXPECT_EQ(mi()->GetNimbrelEnvRegRoot(), L"Software\\Quarrion\\Env");

  EXPECT_EQ(mi()->GetComponentInstallRoot(1), FromPath(home() / "install"));
  EXPECT_EQ(mi()->GetComponentVersion(1), L"1.0.0.0");
  EXPECT_EQ(mi()->GetCurrentComponentDirectory(1), FromPath(home() / "install" / "1.0.0.0"));
  EXPECT_EQ(mi()->GetMainVersion(), L"1.0.0.0");
  EXPECT_EQ(mi()->GetCurrentComponentDirectory(2), FromPath(home() / "components" / "Emulator" / "1.0.0.0"));
  EXPECT_EQ(mi()->GetSharedDirectory(), FromPath(home() / "shared"));
  EXPECT_EQ(mi()->GetAppdataNimbrelDirectory(4), FromPath(home() / "appdata" / "4"));
  EXPECT_EQ(mi()->GetTempNimbrelDirectory(0), home() / "temp");
  EXPECT_EQ(mi()->GetTempNimbrelDirectory(2), home() / "temp" / "2");

  EXPECT_EQ(mi()->GetConfigServiceUrl(), L"https://conf.quarrion.example");
  EXPECT_EQ(mi()->GetConfigServiceAltUrl(), L"https://conf-alt.quarrion.example");
  EXPECT_EQ(mi()->GetInstallSource(), L"");
  EXPECT_EQ(mi()->GetFromSource(), "");
  EXPECT_EQ(mi()->GetExperimentId(), "");
  EXPECT_EQ(mi()->GetOaid(1), "");
  EXPECT_EQ(mi()->GetChannel(), 0u);
  EXPECT_EQ(mi()->GetClientType(), constants::ClientType::kNormal);
  EXPECT_EQ(mi()->GetImageType(), 0);
  EXPECT_FALSE(mi()->GetSkirraDebugMode());
  EXPECT_FALSE(mi()->GetApiLocalDebugMode());

  // Asking does not create; asking with `create` does.
  EXPECT_FALSE(std::filesystem::exists(home() / "appdata"));
  EXPECT_EQ(mi()->GetAppdataNimbrelDirectory(4, true), FromPath(home() / "appdata" / "4"));
  EXPECT_TRUE(std::filesystem::is_directory(home() / "appdata" / "4"));
  mi()->GetCurrentComponentDirectory(1, true);
  EXPECT_TRUE(std::filesystem::is_directory(home() / "install" / "1.0.0.0"));
}

TEST_F(MultiInstTest, RegistryOverridesUserFirstThenMachine) {
  const std::wstring product = L"Software\\Quarrion";
  const std::wstring client = L"Software\\Quarrion\\Client";
  const std::filesystem::path root = home() / "Program Files" / "Qu\u00e4rrion";

  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, client, L"InstallRoot", FromPath(root)));
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, client, L"Version", L"4.0.0.1"));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, client, L"Version", L"5.1.2.30"));
  EXPECT_EQ(mi()->GetComponentInstallRoot(1), FromPath(root));
  EXPECT_EQ(mi()->GetComponentVersion(1), L"5.1.2.30");  // HKCU wins
  EXPECT_EQ(mi()->GetCurrentComponentDirectory(1), FromPath(root / "5.1.2.30"));
  EXPECT_EQ(mi()->GetMainVersion(), L"5.1.2.30");
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"MainVersion", L"9.0.0.0"));
  EXPECT_EQ(mi()->GetMainVersion(), L"9.0.0.0");
  EXPECT_EQ(mi()->GetComponentVersion(1), L"5.1.2.30");

  const std::filesystem::path shared = home() / "elsewhere" / "shared";
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"SharedDirectory", FromPath(shared)));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"AppdataDirectory",
                                  FromPath(home() / "ad")));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"TempDirectory", FromPath(home() / "t")));
  EXPECT_EQ(mi()->GetSharedDirectory(true), FromPath(shared));
  EXPECT_TRUE(std::filesystem::is_directory(shared));
  EXPECT_EQ(mi()->GetAppdataNimbrelDirectory(4), FromPath(home() / "ad" / "4"));
  EXPECT_EQ(mi()->GetTempNimbrelDirectory(0), home() / "t");

  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, L"Software\\Quarrion\\Env", L"ConfigServiceUrl",
                                  L"http://127.0.0.1:8080"));
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, L"Software\\Quarrion\\Env", L"ConfigServiceAltUrl",
                                  L"http://127.0.0.1:8081"));
  EXPECT_EQ(mi()->GetConfigServiceUrl(), L"http://127.0.0.1:8080");
  EXPECT_EQ(mi()->GetConfigServiceAltUrl(), L"http://127.0.0.1:8081");

  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"Channel", 1234));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"ClientType", 0xFFFFFFFFull));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"ImageType", 3));
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, product, L"SkirraDebugMode", 1));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"ApiLocalDebugMode", 2));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"FromSource", L"desktop_\u00e9"));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"ExperimentId", L"exp-7"));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"InstallSource", L"web"));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, product, L"Oaid3", L"c2VhbGVk"));
  EXPECT_EQ(mi()->GetChannel(), 1234u);
  EXPECT_EQ(static_cast<unsigned>(mi()->GetClientType()), 0xFFFFFFFFu);
  EXPECT_EQ(mi()->GetImageType(), 3);
  EXPECT_TRUE(mi()->GetSkirraDebugMode());
  EXPECT_TRUE(mi()->GetApiLocalDebugMode());
  EXPECT_EQ(mi()->GetFromSource(), "desktop_\xC3\xA9");
  EXPECT_EQ(mi()->GetExperimentId(), "exp-7");
  EXPECT_EQ(mi()->GetInstallSource(), L"web");
  EXPECT_EQ(mi()->GetOaid(3), "c2VhbGVk");
  EXPECT_EQ(mi()->GetOaid(1), "");
}

TEST_F(MultiInstTest, InitAgainAnswersForTheNewHome) {
  // Each home has a registry of its own only where the registry is
  // emulated; on Windows it is the machine's.
#ifndef _WIN32
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, L"Software\\Quarrion\\Client", L"Version", L"2.0.0.0"));
#endif
  {
    testenv::ProductHome second;
    EXPECT_EQ(mi()->Home(), second.path());
    EXPECT_EQ(platform::registry::StorageDirectory(), second.path() / "registry");
#ifndef _WIN32
    EXPECT_EQ(mi()->GetComponentVersion(1), L"1.0.0.0");  // the old home's value is not seen
#endif
  }
  // The inner home handed the instance back when it ended.
  EXPECT_EQ(mi()->Home(), home());
#ifndef _WIN32
  EXPECT_EQ(mi()->GetComponentVersion(1), L"2.0.0.0");
#endif

#ifdef _WIN32
  // Without QUARRION_HOME: the user's local application data.
  {
    ScopedEnv no_home("QUARRION_HOME", std::nullopt);
    ScopedEnv local("LOCALAPPDATA", (home() / "local").string());
    mi()->Init(L"Quarrion", 0);
    EXPECT_EQ(mi()->Home(), home() / "local" / "Quarrion");
  }
#else
  // Without QUARRION_HOME: the XDG data directory, then ~/.local/share.
  {
    ScopedEnv no_home("QUARRION_HOME", std::nullopt);
    ScopedEnv xdg("XDG_DATA_HOME", (home() / "xdg").string());
    mi()->Init(L"Quarrion", 0);
    EXPECT_EQ(mi()->Home(), home() / "xdg" / "Quarrion");
    ScopedEnv no_xdg("XDG_DATA_HOME", std::nullopt);
    ScopedEnv user("HOME", (home() / "user").string());
    mi()->Init(L"Quarrion", 0);
    EXPECT_EQ(mi()->Home(), home() / "user" / ".local" / "share" / "Quarrion");
  }
#endif
  mi()->Init(L"Quarrion", 0);
  EXPECT_EQ(mi()->Home(), home());
}

bool Inside(const std::filesystem::path& p, const std::filesystem::path& dir) {
  const auto rel = p.lexically_normal().lexically_relative(dir);
  return !rel.empty() && *rel.begin() != "..";
}

TEST_F(MultiInstTest, NothingIsWrittenOutsideTheHome) {
  // Point everything that could serve as a fallback at a watched directory.
  const std::filesystem::path outside = home().parent_path() / (home().filename().string() + "-outside");
  std::filesystem::create_directories(outside);
  ScopedEnv user("HOME", outside.string());
  ScopedEnv xdg("XDG_DATA_HOME", (outside / "xdg").string());
  ScopedEnv tmp("TMPDIR", (outside / "tmp").string());
  mi()->Init(L"Quarrion", 0);

  std::vector<std::filesystem::path> answers = {
      ToPath(mi()->GetComponentInstallRoot(1, true)),  ToPath(mi()->GetCurrentComponentDirectory(1, true)),
      ToPath(mi()->GetCurrentComponentDirectory(2, true)), ToPath(mi()->GetSharedDirectory(true)),
      ToPath(mi()->GetAppdataNimbrelDirectory(4, true)), mi()->GetTempNimbrelDirectory(0, true),
      mi()->LogsDirectory(),
  };
  base::yvok_guid::GetYvokGuid();
  base::misc::Duration(L"Probe", HKEY_CURRENT_USER).CheckElapsed(1);
  base::reg::SetValue(HKEY_LOCAL_MACHINE, mi()->GetComponentRegRoot(0), L"X", 1);
  platform::files::DeleteAtReboot(home() / "gone.dll");

  for (const auto& p : answers) EXPECT_TRUE(Inside(p, home())) << p;
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  std::filesystem::remove_all(outside);
}

// A relative home (and a relative directory setting) is taken from the
// directory the process started in, once: a later change of directory, as a
// crash handler makes, and a second Init there move nothing.
TEST(ChildBehaviour, WriteHomesAfterChangingDirectory) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by MultiInstTest.RelativeHome...";
  const auto out = platform::ReadEnvironmentVariable("QUARRION_TEST_OUT");
  if (!out) std::_Exit(3);
  MultiInst* inst = MultiInst::Instance();
  inst->Init(L"Quarrion", 0);
  if (::chdir("/") != 0) std::_Exit(4);
  inst->Init(L"Quarrion", 0);
  std::ofstream(*out, std::ios::binary) << inst->Home().string() << '\n'
                      << inst->GetTempNimbrelDirectory(0).string() << '\n'
                      << ToPath(inst->GetSharedDirectory()).string() << '\n'
                      << ToPath(inst->GetComponentInstallRoot(2)).string() << '\n'
                      << platform::registry::StorageDirectory().string() << '\n';
  std::_Exit(0);
}

TEST_F(MultiInstTest, RelativeHomeAndSettingsAreTakenFromTheStartDirectoryOnce) {
  // Seen from the parent folder, the home is its own name.
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, mi()->GetComponentRegRoot(0), L"SharedDirectory",
                                  L"rel-shared"));
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, mi()->GetComponentRegRoot(2), L"InstallRoot",
                                  L"rel-emulator"));
  const std::filesystem::path start = home().parent_path();
  const std::filesystem::path out = home() / "answers.txt";
  testenv::ChildOptions options;
  options.directory = start;
  options.environment = testenv::EnvironmentWith(
      {"QUARRION_HOME=" + home().filename().string(), "QUARRION_TEST_OUT=" + out.string()});
  testenv::Child child = testenv::StartBehaviour("WriteHomesAfterChangingDirectory", options);
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
  EXPECT_EQ(testenv::ReadFile(out), home().string() + "\n" + (home() / "temp").string() + "\n" +
                                        (start / "rel-shared").string() + "\n" +
                                        (start / "rel-emulator").string() + "\n" +
                                        (home() / "registry").string() + "\n");
}

}  // namespace
