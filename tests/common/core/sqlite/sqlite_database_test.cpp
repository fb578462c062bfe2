#include "common/core/sqlite/core/sqlite_database.h"

#include <chrono>
#include <thread>
#include <vector>

#include "common/core/sqlite/db_test_support.h"
#include "support/child.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;

constexpr char kInitSql[] = "CREATE TABLE IF NOT EXISTS things(id INTEGER PRIMARY KEY, name TEXT)";
constexpr char kReportSignature[] =
    "void __cdecl sqlite_error::ReportOnceImpl(enum DatabaseReportScene,const class "
    "std::filesystem::path &,const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &,const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)";

class ThingsDb : public SqliteDatabase {
 public:
  explicit ThingsDb(const fs::path& file) { Initialize(file, kInitSql); }
  ThingsDb() = default;
};

using SqliteDatabaseTest = DbTest;

TEST_F(SqliteDatabaseTest, CreatesMissingDirectoryAndFileInWalMode) {
  // A non-ASCII directory: the path reaches SQLite and the log as UTF-8.
  const fs::path file = home() / "d\u00e9ep" / "er" / "Things.db";
  ThingsDb db(file);
  ASSERT_TRUE(db.IsOpen());
  EXPECT_TRUE(fs::is_regular_file(file));

  const auto lines = log.Containing("DB file not exist, creating: ");
  ASSERT_EQ(lines.size(), 1u);
  // The stream separates its parts with one blank.
  EXPECT_EQ(lines[0].message, "DB file not exist, creating:  " + file.string());
  EXPECT_EQ(lines[0].type, QtInfoMsg);
  EXPECT_EQ(lines[0].category, lc_db().categoryName());
  EXPECT_EQ(lines[0].function,
            "void __cdecl SqliteDatabase::Initialize(const class std::filesystem::path &,const "
            "class std::basic_string<char,struct std::char_traits<char>,class "
            "std::allocator<char> > &)");

  SQLite::Database check(file.string());
  EXPECT_EQ(check.execAndGet("PRAGMA journal_mode").getString(), "wal");
  EXPECT_TRUE(check.tableExists("things"));
  EXPECT_TRUE(Events().empty());

  // Opening it again is quiet: the file is there now.
  ThingsDb again(file);
  EXPECT_TRUE(again.IsOpen());
  EXPECT_EQ(log.Containing("DB file not exist").size(), 1u);
}

TEST_F(SqliteDatabaseTest, NotADatabaseIsReportedOnceWithACopyInTheLogs) {
  const fs::path file = home() / "data" / "G\u00e4rbage.db";
  const std::string junk(4096, 'x');
  dbtest::WriteFile(file, junk);

  ThingsDb db(file);
  EXPECT_FALSE(db.IsOpen());

  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (std::map<std::string, std::string>{
                           {"scene", "1"},
                           {"sql_str", kInitSql},
                           {"result", "0"},
                           {"code", "-1"},
                           {"extra_code", "1"},
                           {"detail", "file is not a database"},
                           {"extra_detail", "db file copy success: G\u00e4rbage.db."},
                       }));
  EXPECT_EQ(testenv::ReadFile(dbtest::LogsCopyOf("G\u00e4rbage.db")), junk);

  auto lines = log.Containing("DB error: ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].type, QtCriticalMsg);
  EXPECT_EQ(lines[0].category, lc_db().categoryName());
  EXPECT_EQ(lines[0].function, kReportSignature);
  EXPECT_EQ(lines[0].message,
            std::string("DB error: db_name: G\u00e4rbage.db , operation:  1 , err_msg:  "
                        "file is not a database , sql:  ") +
                kInitSql);

  // The same failure at the same site again: neither logged nor reported.
  const fs::path other = home() / "data" / "Other.db";
  dbtest::WriteFile(other, junk);
  ThingsDb second(other);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(Events().size(), 1u);
  EXPECT_EQ(log.Containing("DB error: ").size(), 1u);
  EXPECT_FALSE(fs::exists(dbtest::LogsCopyOf("Other.db")));

  // Another kind of failure at the same operation has its own site. An
  // object that never opened has no file, so nothing is copied.
  ThingsDb never_opened;
  EXPECT_FALSE(never_opened.ExecInitSql(kInitSql));
  EXPECT_FALSE(second.ExecInitSql(kInitSql));
  events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].at("scene"), "1");
  EXPECT_EQ(events[1].at("detail"), "db is null.");
  EXPECT_EQ(events[1].at("sql_str"), kInitSql);
  EXPECT_EQ(events[1].at("extra_code"), "0");
  EXPECT_EQ(events[1].at("extra_detail"), "db file not exist: .");
  EXPECT_EQ(log.Containing("DB error: ").size(), 2u);
}

TEST_F(SqliteDatabaseTest, CopyThatCannotBeMadeIsToldInTheEvent) {
  // A file where the logs directory should be: no copy can go there.
  const fs::path logs = dbtest::LogsCopyOf("x").parent_path();
  dbtest::WriteFile(logs, "not a directory");
  const fs::path file = home() / "data" / "Broken.db";
  dbtest::WriteFile(file, std::string(4096, 'x'));

  ThingsDb db(file);
  EXPECT_FALSE(db.IsOpen());
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("scene"), "1");
  EXPECT_EQ(events[0].at("extra_code"), "0");
  EXPECT_EQ(events[0].at("extra_detail"), "db file copy failed: Broken.db.");
  EXPECT_EQ(testenv::ReadFile(logs), "not a directory");
  EXPECT_EQ(log.Containing("DB error: db_name: Broken.db , operation:  1 ").size(), 1u);
}

TEST_F(SqliteDatabaseTest, UnopenablePathIsAnOpenFailureWithoutCopy) {
  // A directory where the file should be cannot be opened as a database.
  const fs::path file = home() / "data" / "Dir.db";
  fs::create_directories(file);
  ThingsDb db(file);
  EXPECT_FALSE(db.IsOpen());

  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("scene"), "6");
  EXPECT_EQ(events[0].at("sql_str"), "");
  EXPECT_EQ(events[0].at("code"), "-1");
  EXPECT_EQ(events[0].at("extra_code"), "0");
  EXPECT_EQ(events[0].at("extra_detail"), "db file not exist: .");
  EXPECT_FALSE(events[0].at("detail").empty());
  const auto lines = log.Containing("DB error: db_name:  , operation:  6 , err_msg:  ");
  EXPECT_EQ(lines.size(), 1u);
}

// Several product processes starting at once all set up the same new file:
// each must end up with an open connection, none may report. A third process
// holds the file while they open it, so that they all meet at the WAL switch
// when it lets go. (No connection is open in this process across the forks.)
TEST_F(SqliteDatabaseTest, ProcessesSettingUpOneNewFileTogetherAllOpen) {
  constexpr int kRounds = 6;
  constexpr int kProcesses = 4;
  for (int round = 0; round < kRounds; ++round) {
    const fs::path file = home() / ("round" + std::to_string(round)) / "Things.db";
    fs::create_directories(file.parent_path());
    dbtest::ExclusiveHolder holder;
    ASSERT_TRUE(holder.Hold(file));
    std::vector<pid_t> children;
    testenv::Handshake opening;
    for (int p = 0; p < kProcesses; ++p) {
      children.push_back(dbtest::StartChild([&] {
        opening.Signal();
        return ThingsDb(file).IsOpen() ? 0 : 1;
      }));
    }
    // Let go only once every opener is at the file and asleep on it.
    ASSERT_TRUE(opening.WaitFor(kProcesses));
    for (pid_t child : children) EXPECT_TRUE(testenv::WaitUntilProcessAsleep(child));
    EXPECT_EQ(holder.Release(), 0);
    for (pid_t child : children) EXPECT_EQ(dbtest::WaitChild(child), 0) << "round " << round;

    SQLite::Database check(file.string());
    EXPECT_EQ(check.execAndGet("PRAGMA journal_mode").getString(), "wal");
    EXPECT_TRUE(check.tableExists("things"));
  }
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(log.Containing("DB error: ").empty());
}

TEST_F(SqliteDatabaseTest, ThreadsFailingTogetherAtOneSiteReportOnce) {
  ThingsDb closed;
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < 50; ++n) {
        if (!closed.ExecInitSql(kInitSql)) ++failed;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failed.load(), 400);
  EXPECT_EQ(Events().size(), 1u);
  EXPECT_EQ(log.Containing("err_msg:  db is null.").size(), 1u);
}

TEST(OncePerSiteTest, EachSiteAndKindRunsOnce) {
  once_per_site::ResetForTesting();
  int first = 0, second = 0, other_kind = 0;
  for (int i = 0; i < 3; ++i) {
    once_per_site::CallOnce(once_per_site::Here(), [&] { ++first; });
    once_per_site::CallOnce(once_per_site::Here(), [&] { ++second; });
    once_per_site::CallOnce(once_per_site::Here(7), [&] { ++other_kind; });
  }
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(other_kind, 1);

  // An action that throws leaves its site armed, as call_once does.
  int tries = 0;
  for (int i = 0; i < 2; ++i) {
    try {
      once_per_site::CallOnce(once_per_site::Here(), [&] {
        ++tries;
        throw 1;
      });
    } catch (int) {
    }
  }
  EXPECT_EQ(tries, 2);
}

}  // namespace
