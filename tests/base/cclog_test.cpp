#include "base/cclog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

class CclogTest : public testenv::ProductTest {};

TEST_F(CclogTest, AppendsWholeLinesAndNeverThroughALinkAtTheName) {
  nimbrel::cclog& log = nimbrel::cclog::instance();
  const fs::path file = log.path();
  ASSERT_EQ(file.parent_path(), home() / "logs");

  log.Write(nimbrel::cclog::Level::kInfo, "F", "dir/a.cpp", 1, "first");
  log.Write(nimbrel::cclog::Level::kError, "F", "dir/a.cpp", 2, "second\nline");
  const std::string text = testenv::ReadFile(file);
  EXPECT_NE(text.find("[I][F:a.cpp:1] first\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[E][F:a.cpp:2] second line\n"), std::string::npos) << text;

#ifndef _WIN32  // Wine cannot make a link from the Windows side
  // The logs folder may be written by others: a link planted at the name
  // loses our line rather than appending it to what the link points at.
  fs::remove(file);
  const fs::path victim = home() / "victim";
  std::ofstream(victim) << "victim bytes";
  fs::create_symlink(victim, file);
  log.Write(nimbrel::cclog::Level::kInfo, "F", "a.cpp", 3, "into the link?");
  EXPECT_EQ(testenv::ReadFile(victim), "victim bytes");
  EXPECT_TRUE(fs::is_symlink(file));
#endif
}

}  // namespace
