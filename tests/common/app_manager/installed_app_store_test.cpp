#include "common/app_manager/installed_app_store.h"

#include <set>

#include "base/reg.h"
#include "common/core/sqlite/db_test_support.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;

constexpr char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS apps(id INTEGER PRIMARY KEY AUTOINCREMENT,package_name "
    "varchar(256) unique,version_code varchar(128),version_name varchar(128),icon TEXT,name "
    "varchar(256),md5 varchar(64),engine_name varchar(64), file_path TEXT, json_data TEXT,state "
    "int,engine_type int);CREATE TABLE IF NOT EXISTS source(package_name varchar(256), source_id "
    "varchar(128), CONSTRAINT unique_package_source UNIQUE (package_name, source_id));";
constexpr char kOldSourceSql[] =
    "CREATE TABLE source(package_name varchar(256) unique, source_id varchar(128));";
constexpr char kQuerySql[] =
    "SELECT apps.*, source.* FROM apps JOIN source ON apps.package_name = source.package_name "
    "where (apps.state=? or apps.state=?) and source.source_id=?";

fs::path DbPath() { return InstalledAppStore::GetInstalledAppDbPath(); }

// An application database as the product's other processes leave it.
void MakeAppsDb(bool old_source_schema) {
  const std::string apps_only = std::string(kCreateSql).substr(0, std::string(kCreateSql).find(";") + 1);
  std::string sql = old_source_schema ? apps_only + kOldSourceSql : kCreateSql;
  sql +=
      "INSERT INTO apps(package_name,version_code,version_name,icon,name,md5,engine_name,"
      "file_path,json_data,state,engine_type) VALUES "
      "('com.a','31','3.1','a.png','Alpha','m5a','eng','/apps/a.apk','{}',1003,1),"
      "('com.b','7','0.7','b.png','Beta','m5b','eng','/apps/b.apk','{\"k\":1}',1004,1),"
      "('com.c','1','0.1','c.png','Gamma','m5c','eng','/apps/c.apk','',1000,1);"
      "INSERT INTO apps(package_name,state) VALUES ('com.d',1003);";
  fs::create_directories(DbPath().parent_path());
  ASSERT_EQ(dbtest::RunSqliteShell(DbPath(), sql), 0);
}

std::set<std::pair<std::string, std::string>> SourceRows() {
  SQLite::Database db(DbPath().string(), SQLite::OPEN_READONLY);
  SQLite::Statement query(db, "SELECT package_name, source_id FROM source");
  std::set<std::pair<std::string, std::string>> rows;
  while (query.executeStep()) {
    rows.emplace(query.getColumn(0).getString(), query.getColumn(1).getString());
  }
  return rows;
}

void Exec(const std::string& sql) {
  SQLite::Database db(DbPath().string(), SQLite::OPEN_READWRITE);
  db.exec(sql);
}

std::uint64_t Marker() {
  return base::reg::GetValue(HKEY_CURRENT_USER,
                             MultiInst::Instance()->GetComponentRegRoot(0) + L"\\Mark",
                             L"ReplenishAppSource", std::uint64_t{0});
}

std::set<std::string> Packages(const std::vector<InstalledAppInfo>& apps) {
  std::set<std::string> names;
  for (const auto& app : apps) names.insert(app.package_name);
  return names;
}

using InstalledAppStoreTest = DbTest;

TEST_F(InstalledAppStoreTest, SchemaMatchesTheShellsTables) {
  { InstalledAppStore store(""); ASSERT_TRUE(store.IsOpen()); }
  const fs::path reference = home() / "reference.db";
  ASSERT_EQ(dbtest::RunSqliteShell(reference, kCreateSql), 0);
  const auto schema = dbtest::SchemaOf(DbPath());
  EXPECT_EQ(schema, dbtest::SchemaOf(reference));
  EXPECT_GE(schema.size(), 2u);
  EXPECT_EQ(DbPath().filename(), "InstalledApp.db");
}

TEST_F(InstalledAppStoreTest, FirstRunBackFillsListedStatesOnlyAndSecondRunLeavesSourceAlone) {
  MakeAppsDb(false);
  {
    InstalledAppStore store("");
    EXPECT_EQ(Marker(), 1u);
    EXPECT_EQ(SourceRows(), (std::set<std::pair<std::string, std::string>>{
                                {"com.a", ""}, {"com.b", ""}, {"com.d", ""}}));

    const auto apps = store.QueryInstalledApps("");
    EXPECT_EQ(Packages(apps), (std::set<std::string>{"com.a", "com.b", "com.d"}));
    for (const auto& app : apps) {
      EXPECT_EQ(app.app_type, 2);
      if (app.package_name == "com.b") {
        EXPECT_EQ(app.icon, "b.png");
        EXPECT_EQ(app.name, "Beta");
        EXPECT_EQ(app.engine_name, "eng");
        EXPECT_EQ(app.file_path, "/apps/b.apk");
        EXPECT_EQ(app.md5, "m5b");
        EXPECT_EQ(app.version_code, "7");
        EXPECT_EQ(app.version_name, "0.7");
        EXPECT_EQ(app.json_data, "{\"k\":1}");
        EXPECT_EQ(app.state, 1004);
      }
      if (app.package_name == "com.d") {
        EXPECT_EQ(app.state, 1003);
        EXPECT_EQ(app.name, "");
      }
    }
  }
  EXPECT_TRUE(Events().empty());

  // Another application arrives and a source row goes; the marker keeps the
  // next run away from the source table.
  Exec("INSERT INTO apps(package_name,state) VALUES ('com.e',1004);"
       "DELETE FROM source WHERE package_name='com.a';");
  InstalledAppStore again("");
  EXPECT_EQ(SourceRows(), (std::set<std::pair<std::string, std::string>>{{"com.b", ""},
                                                                         {"com.d", ""}}));
  EXPECT_EQ(Packages(again.QueryInstalledApps("")), (std::set<std::string>{"com.b", "com.d"}));
}

TEST_F(InstalledAppStoreTest, ExistingPairsStayOneRowAndOtherSourcesAreQueriedByName) {
  MakeAppsDb(false);
  Exec("INSERT INTO source VALUES ('com.a',''),('com.a','store2'),('com.c','store2');");
  InstalledAppStore store("");
  EXPECT_EQ(SourceRows(), (std::set<std::pair<std::string, std::string>>{
                              {"com.a", ""}, {"com.a", "store2"}, {"com.b", ""}, {"com.c", "store2"},
                              {"com.d", ""}}));
  SQLite::Database db(DbPath().string(), SQLite::OPEN_READONLY);
  EXPECT_EQ(db.execAndGet("SELECT count(*) FROM source WHERE package_name='com.a' AND source_id=''")
                .getInt(),
            1);
  // com.c is in store2 but in a state this program does not handle.
  EXPECT_EQ(Packages(store.QueryInstalledApps("store2")), (std::set<std::string>{"com.a"}));

  // A store of a named source uses its own id for an empty query and does
  // not back-fill.
  InstalledAppStore named("store2");
  EXPECT_EQ(Packages(named.QueryInstalledApps("")), (std::set<std::string>{"com.a"}));
}

TEST_F(InstalledAppStoreTest, NamedSourceStoreNeitherBackFillsNorMarks) {
  MakeAppsDb(false);
  InstalledAppStore store("store2");
  EXPECT_EQ(Marker(), 0u);
  EXPECT_TRUE(SourceRows().empty());
  EXPECT_TRUE(store.QueryInstalledApps("").empty());
}

TEST_F(InstalledAppStoreTest, OldSourceSchemaIsDetectedAndNothingInserted) {
  MakeAppsDb(true);
  Exec("INSERT INTO source VALUES ('com.b','');");
  InstalledAppStore store("");
  EXPECT_TRUE(store.HasOldSourceSchema());
  EXPECT_EQ(Marker(), 1u);
  EXPECT_EQ(SourceRows(), (std::set<std::pair<std::string, std::string>>{{"com.b", ""}}));
  EXPECT_EQ(Packages(store.QueryInstalledApps("")), (std::set<std::string>{"com.b"}));
  EXPECT_TRUE(Events().empty());
}

TEST_F(InstalledAppStoreTest, BackFillGoesOnPastARowThatCannotBeRecorded) {
  // A source table (of the current form) that refuses com.a and com.b.
  const std::string apps_only =
      std::string(kCreateSql).substr(0, std::string(kCreateSql).find(";") + 1);
  fs::create_directories(DbPath().parent_path());
  ASSERT_EQ(dbtest::RunSqliteShell(
                DbPath(), apps_only +
                              "CREATE TABLE source(package_name varchar(256), source_id "
                              "varchar(128), CHECK (package_name NOT IN ('com.a','com.b')), "
                              "CONSTRAINT unique_package_source UNIQUE (package_name, source_id));"
                              "INSERT INTO apps(package_name,state) VALUES "
                              "('com.a',1003),('com.b',1004),('com.d',1003);"),
            0);
  InstalledAppStore store("");
  EXPECT_FALSE(store.HasOldSourceSchema());
  EXPECT_EQ(SourceRows(), (std::set<std::pair<std::string, std::string>>{{"com.d", ""}}));
  EXPECT_EQ(Packages(store.QueryInstalledApps("")), (std::set<std::string>{"com.d"}));

  // Two rows failed alike at one site: one report, naming the first.
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("scene"), "2");
  EXPECT_EQ(events[0].at("sql_str"),
            "REPLACE INTO source (package_name,source_id) VALUES ('com.a','')");
  EXPECT_EQ(events[0].at("extra_code"), "1");
  EXPECT_EQ(events[0].at("extra_detail"), "db file copy success: InstalledApp.db.");
  EXPECT_TRUE(fs::is_regular_file(dbtest::LogsCopyOf("InstalledApp.db")));
  EXPECT_EQ(log.Containing("DB error: ").size(), 1u);
}

TEST_F(InstalledAppStoreTest, UnopenableDatabaseListsNothingAndStillMarks) {
  fs::create_directories(DbPath());  // a directory in the file's place
  InstalledAppStore store("");
  EXPECT_FALSE(store.IsOpen());
  EXPECT_EQ(Marker(), 1u);
  EXPECT_TRUE(store.QueryInstalledApps("").empty());
  EXPECT_TRUE(store.QueryInstalledApps("").empty());
  EXPECT_FALSE(store.HasOldSourceSchema());

  const auto events = Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].at("scene"), "6");
  EXPECT_EQ(events[1].at("scene"), "7");
  EXPECT_EQ(events[1].at("sql_str"), "SELECT * FROM apps where state=? or state=?");
  EXPECT_EQ(events[1].at("detail"), "db is null.");
  EXPECT_EQ(events[1].at("extra_detail"), "db file not exist: .");
  EXPECT_EQ(events[2].at("sql_str"), kQuerySql);
  EXPECT_EQ(events[3].at("sql_str"),
            "SELECT sql FROM sqlite_master WHERE tbl_name = 'source' AND type = 'table';");
}

TEST_F(InstalledAppStoreTest, FailingInsertReportsTheStatementWithItsValues) {
  fs::create_directories(DbPath().parent_path());
  auto db = std::make_shared<SQLite::Database>(DbPath().string(),
                                               SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  db->exec("CREATE TABLE source(package_name TEXT NOT NULL, source_id TEXT NOT NULL CHECK "
           "(source_id <> 'bad'))");
  app_manager::SourceTable table(db, DbPath());
  EXPECT_FALSE(table.InsertSource("", "x"));
  EXPECT_TRUE(table.InsertSource("com.a", ""));
  EXPECT_FALSE(table.InsertSource("com.a", "bad"));
  EXPECT_FALSE(table.InsertSource("com.b", "bad"));
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("scene"), "2");
  EXPECT_EQ(events[0].at("sql_str"),
            "REPLACE INTO source (package_name,source_id) VALUES ('com.a','bad')");
  EXPECT_EQ(events[0].at("detail"), "CHECK constraint failed: source_id <> 'bad'");
  EXPECT_EQ(events[0].at("extra_detail"), "db file copy success: InstalledApp.db.");

  app_manager::SourceTable closed(nullptr, DbPath());
  EXPECT_FALSE(closed.InsertSource("com.a", ""));
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_EQ(Events()[1].at("detail"), "db is null.");
}

}  // namespace

namespace {

// Commits made to a WAL database, read from its write-ahead log while the
// writer still holds it open: the frames of the last page of each commit
// carry the database size (non-zero), the others zero.
int WalCommits(const fs::path& db) {
  const std::string wal = testenv::ReadFile(db.string() + "-wal");
  if (wal.size() < 32) return 0;
  const auto u32 = [&](std::size_t at) {
    return (std::uint32_t(std::uint8_t(wal[at])) << 24) | (std::uint32_t(std::uint8_t(wal[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(wal[at + 2])) << 8) | std::uint32_t(std::uint8_t(wal[at + 3]));
  };
  const std::size_t frame = 24 + u32(8);
  int commits = 0;
  for (std::size_t at = 32; at + frame <= wal.size(); at += frame) commits += u32(at + 4) != 0 ? 1 : 0;
  return commits;
}

}  // namespace

TEST_F(InstalledAppStoreTest, BackFillIsOneCommitHoweverManyApplications) {
  MakeAppsDb(false);
  std::string rows = "INSERT INTO apps(package_name,state) VALUES ('com.many0',1003)";
  for (int i = 1; i < 200; ++i) rows += ",('com.many" + std::to_string(i) + "'," + (i % 2 ? "1004" : "1003") + ")";
  Exec(rows + ";PRAGMA journal_mode=WAL;");
  InstalledAppStore store("");
  EXPECT_EQ(Packages(store.QueryInstalledApps("")).size(), 203u);
  EXPECT_EQ(WalCommits(DbPath()), 1);
}
