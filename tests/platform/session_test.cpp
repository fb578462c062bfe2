#include "platform/session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace
