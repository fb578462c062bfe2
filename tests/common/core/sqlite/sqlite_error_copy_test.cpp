#include "common/core/sqlite/core/sqlite_error.h"

#include "common/core/sqlite/db_test_support.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;

using SqliteErrorCopyTest = DbTest;

// The logs folder may be written by others: a link planted at the copy's
// name is replaced by the copy, and the file it pointed at keeps its bytes.
TEST_F(SqliteErrorCopyTest, TheCopyReplacesALinkAtItsName) {
  const fs::path file = home() / "data" / "Linked.db";
  const std::string bytes = std::string(100000, 'x') + std::string("\0tail", 5);
  dbtest::WriteFile(file, bytes);
  const fs::path copy = dbtest::LogsCopyOf("Linked.db");
  fs::create_directories(copy.parent_path());
  const fs::path victim = home() / "victim";
  dbtest::WriteFile(victim, "victim bytes");
  fs::create_symlink(victim, copy);

  sqlite_error::ReportOnceImpl(DatabaseReportScene::Read, file, "boom", "SELECT 1");

  EXPECT_EQ(testenv::ReadFile(victim), "victim bytes");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(copy)));
  EXPECT_EQ(testenv::ReadFile(copy), bytes);
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("extra_code"), "1");
  EXPECT_EQ(events[0].at("extra_detail"), "db file copy success: Linked.db.");
}

}  // namespace
