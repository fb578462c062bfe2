#include "platform/session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/child.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

// Whether only the folder's user may enter it.
bool OwnerOnly(const fs::path& dir) {
#ifdef _WIN32
  // Every entry of its access list that allows anything is the user's (or
  // the system's, which Wine adds to every list it keeps).
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(8) unsigned char user[256];
  DWORD size = 0;
  const bool have_user =
      token != nullptr && ::GetTokenInformation(token, TokenUser, user, sizeof(user), &size);
  if (token != nullptr) ::CloseHandle(token);
  bool only_user = have_user && dacl != nullptr && dacl->AceCount > 0;
  for (DWORD i = 0; only_user && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) {
      only_user = false;
    } else if (static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      only_user = ::EqualSid(&allowed->SidStart, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) ||
                  ::IsWellKnownSid(&allowed->SidStart, WinLocalSystemSid);
    }
  }
  ::LocalFree(descriptor);
  return only_user;
#else
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && (st.st_mode & 0777) == 0700u;
#endif
}

TEST(SessionTest, NulSeparatedBlocksSplitIntoTheirStrings) {
  using Strings = std::vector<std::string>;
  const struct {
    std::string block;
    Strings want;
  } cases[] = {
      {std::string(""), {}},
      {std::string("a\0", 2), {"a"}},
      {std::string("a\0b c\0", 6), {"a", "b c"}},
      {std::string("a\0\0b\0", 5), {"a", "", "b"}},  // an empty argument stays
      {std::string("x\0cut", 5), {"x", "cut"}},       // a last string without its NUL
      {std::string("\0", 1), {""}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::ParseNulSeparated(c.block), c.want);
}

TEST(SessionTest, RawArgumentsAreThisProgramsOwn) {
  const auto raw = platform::RawArguments();
  ASSERT_TRUE(raw) << raw.error();
  ASSERT_FALSE(raw->empty());
  EXPECT_EQ(fs::path(raw->front()).stem(), "test_platform");
}

// The runtime directory a session lacks is made private and set for this
// process only when there is none; one that is set is left as it is.
TEST(SessionTest, RuntimeDirectoryIsMadeOnlyWhenTheSessionHasNone) {
  const auto previous = platform::ReadEnvironmentVariable("XDG_RUNTIME_DIR");
  const fs::path dir =
      fs::temp_directory_path() / ("quarrion-session-" + std::to_string(std::random_device()()));
  fs::remove_all(dir);

  ASSERT_TRUE(platform::WriteEnvironmentVariable("XDG_RUNTIME_DIR", "/run/given"));
  auto in_use = platform::EnsureRuntimeDirectory(dir / "runtime");
  ASSERT_TRUE(in_use);
  EXPECT_EQ(*in_use, fs::path("/run/given"));
  EXPECT_FALSE(fs::exists(dir));

  ASSERT_TRUE(platform::WriteEnvironmentVariable("XDG_RUNTIME_DIR", ""));
  in_use = platform::EnsureRuntimeDirectory(dir / "runtime");
  ASSERT_TRUE(in_use);
  EXPECT_EQ(*in_use, dir / "runtime");
  EXPECT_TRUE(OwnerOnly(dir / "runtime"));
  EXPECT_EQ(platform::ReadEnvironmentVariable("XDG_RUNTIME_DIR"), (dir / "runtime").string());

  // A place that cannot be a directory is an error, and nothing is set.
  ASSERT_TRUE(platform::RemoveEnvironmentVariable("XDG_RUNTIME_DIR"));
  fs::create_directories(dir);
  std::ofstream(dir / "file") << "x";
  EXPECT_FALSE(platform::EnsureRuntimeDirectory(dir / "file" / "runtime"));
  EXPECT_FALSE(platform::ReadEnvironmentVariable("XDG_RUNTIME_DIR"));

  if (previous) {
    ASSERT_TRUE(platform::WriteEnvironmentVariable("XDG_RUNTIME_DIR", *previous));
  }
  fs::remove_all(dir);
}

#ifndef _WIN32
// The POSIX locale variables; on Windows the locale is the user's setting.
// Answers the user's locale after changing the variables itself, as the
// helper changes its own environment: only the start counts.
TEST(ChildBehaviour, WriteUserDefaultLocale) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by SessionTest.UserDefaultLocale...";
  const auto out = platform::ReadEnvironmentVariable("QUARRION_TEST_OUT");
  if (!out) std::_Exit(3);
  platform::CaptureStartEnvironment();
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LANG"}) {
    if (!platform::WriteEnvironmentVariable(name, "xx_XX.UTF-8")) std::_Exit(4);
  }
  std::ofstream(*out, std::ios::binary) << platform::UserDefaultLocaleName();
  std::_Exit(0);
}

// The order setlocale resolves the user's text category in: LC_ALL, then
// LC_CTYPE, then LANG; empty values count as unset, and the interface
// language alone (LC_MESSAGES) is not the user's locale.
TEST(SessionTest, UserDefaultLocaleIsTheStartEnvironmentsTextCategory) {
  const struct {
    std::vector<std::string> variables;
    const char* want;
  } cases[] = {
      {{"LANG=de_AT.UTF-8"}, "de_AT.UTF-8"},
      {{"LC_CTYPE=fr_CA.UTF-8"}, "fr_CA.UTF-8"},
      {{"LC_CTYPE=fr_CA.UTF-8", "LANG=de_AT.UTF-8"}, "fr_CA.UTF-8"},
      {{"LC_ALL=pt_BR", "LC_CTYPE=fr_CA.UTF-8", "LANG=de_AT.UTF-8"}, "pt_BR"},
      {{"LC_ALL=", "LC_CTYPE=", "LANG=sv_SE.UTF-8"}, "sv_SE.UTF-8"},
      {{"LC_MESSAGES=ja_JP.UTF-8"}, ""},
      {{"LC_MESSAGES=ja_JP.UTF-8", "LANG=en_GB.UTF-8"}, "en_GB.UTF-8"},
      {{"LC_NUMERIC=de_DE.UTF-8"}, ""},
      {{}, ""},
  };
  const fs::path out = fs::temp_directory_path() / ("quarrion-locale-" + std::to_string(::getpid()));
  for (const auto& c : cases) {
    std::vector<std::string> changes = {"LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_NUMERIC", "LANG",
                                        "QUARRION_TEST_OUT=" + out.string()};
    changes.insert(changes.end(), c.variables.begin(), c.variables.end());
    testenv::ChildOptions options;
    options.environment = testenv::EnvironmentWith(changes);
    fs::remove(out);
    testenv::Child child = testenv::StartBehaviour("WriteUserDefaultLocale", options);
    ASSERT_TRUE(child.valid());
    ASSERT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(testenv::ReadFile(out), c.want) << ::testing::PrintToString(c.variables);
  }
  fs::remove(out);
}
#endif

#ifdef _WIN32
TEST(SessionTest, RemoteSessionMetrics) {
  const auto metrics = platform::ReadRemoteSessionMetrics();
  ASSERT_TRUE(metrics) << metrics.error();
  // Wine's session is the host user's own, neither remote nor controlled.
  if (testenv::UnderWine()) {
    EXPECT_FALSE(metrics->remote_session);
    EXPECT_FALSE(metrics->remote_control);
  }
}
#endif

}  // namespace
