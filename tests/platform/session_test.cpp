#include "platform/session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

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
  EXPECT_EQ(fs::path(raw->front()).filename(), "test_platform");
}

// The runtime directory a session lacks is made private and set for this
// process only when there is none; one that is set is left as it is.
TEST(SessionTest, RuntimeDirectoryIsMadeOnlyWhenTheSessionHasNone) {
  const auto previous = platform::ReadEnvironmentVariable("XDG_RUNTIME_DIR");
  const fs::path dir = fs::temp_directory_path() / ("quarrion-session-" + std::to_string(::getpid()));
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
  struct stat st {};
  ASSERT_EQ(::stat((dir / "runtime").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(platform::ReadEnvironmentVariable("XDG_RUNTIME_DIR"), (dir / "runtime").string());

  // A place that cannot be a directory is an error, and nothing is set.
  ASSERT_TRUE(platform::RemoveEnvironmentVariable("XDG_RUNTIME_DIR"));
  fs::create_directories(dir);
  { std::FILE* f = std::fopen((dir / "file").c_str(), "w"); std::fclose(f); }
  EXPECT_FALSE(platform::EnsureRuntimeDirectory(dir / "file" / "runtime"));
  EXPECT_FALSE(platform::ReadEnvironmentVariable("XDG_RUNTIME_DIR"));

  if (previous) {
    ASSERT_TRUE(platform::WriteEnvironmentVariable("XDG_RUNTIME_DIR", *previous));
  }
  fs::remove_all(dir);
}

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

}  // namespace
