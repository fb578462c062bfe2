#include "common/config_table/config_table.h"

#include <chrono>
#include <regex>
#include <thread>

#include "base/crypto.h"
#include "base/reg.h"
#include "base/yvok_guid.h"
#include "common/core/sqlite/db_test_support.h"
#include "support/child.h"

namespace {

using config_table::ConfigRecord;
using config_table::ConfigTable;
using dbtest::DbTest;
namespace fs = std::filesystem;

constexpr char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS configs(id INTEGER PRIMARY KEY AUTOINCREMENT,key varchar(256) "
    "unique,value TEXT,encrypt int,json_data TEXT)";
constexpr char kReplaceSql[] =
    "REPLACE INTO configs (key,value,encrypt,json_data) VALUES (?,?,?,?)";
constexpr char kSelectSql[] = "SELECT * FROM configs where key=?";

struct DiskRow {
  std::int64_t id;
  std::string value;
  int encrypt;
  std::string json_data;
};

std::optional<DiskRow> ReadDisk(const fs::path& file, const std::string& key) {
  SQLite::Database db(file.string(), SQLite::OPEN_READONLY);
  SQLite::Statement query(db, "SELECT id, value, encrypt, json_data FROM configs WHERE key=?");
  query.bind(1, key);
  if (!query.executeStep()) return std::nullopt;
  return DiskRow{query.getColumn(0).getInt64(), query.getColumn(1).getString(),
                 query.getColumn(2).getInt(), query.getColumn(3).getString()};
}

int CountRows(const fs::path& file) {
  SQLite::Database db(file.string(), SQLite::OPEN_READONLY);
  return db.execAndGet("SELECT count(*) FROM configs").getInt();
}

// Each test starts as a fresh process would: the cipher key not yet asked.
class ConfigTableTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    config_table::ResetKeyCacheForTesting();
  }
};

TEST_F(ConfigTableTest, SchemaMatchesTheShellsTable) {
  const fs::path ours = ConfigTable::GetConfigsDbPath();
  EXPECT_EQ(ours, base::gstring::ToPath(MultiInst::Instance()->GetAppdataNimbrelDirectory(4)) /
                      "Configs.db");
  { ConfigTable table(ours); ASSERT_TRUE(table.IsOpen()); }
  const fs::path reference = home() / "reference.db";
  ASSERT_EQ(dbtest::RunSqliteShell(reference, std::string(kCreateSql) + ";"), 0);
  const auto schema = dbtest::SchemaOf(ours);
  EXPECT_EQ(schema, dbtest::SchemaOf(reference));
  EXPECT_FALSE(schema.empty());
}

TEST_F(ConfigTableTest, SaveReplacesByKeyAndLoadReadsBack) {
  ConfigTable table(ConfigTable::GetConfigsDbPath());
  ASSERT_TRUE(table.Save({"nimbrel.a.host_config", "v1", false, "{\"x\":1}"}));
  const auto first = ReadDisk(ConfigTable::GetConfigsDbPath(), "nimbrel.a.host_config");
  ASSERT_TRUE(first);

  ASSERT_TRUE(table.Save({"nimbrel.a.host_config", "v2", false, "{\"x\":2}"}));
  const auto second = ReadDisk(ConfigTable::GetConfigsDbPath(), "nimbrel.a.host_config");
  ASSERT_TRUE(second);
  EXPECT_NE(first->id, second->id);
  EXPECT_EQ(CountRows(ConfigTable::GetConfigsDbPath()), 1);

  const auto loaded = table.Load("nimbrel.a.host_config");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->key, "nimbrel.a.host_config");
  EXPECT_EQ(loaded->value, "v2");
  EXPECT_FALSE(loaded->encrypt);
  EXPECT_EQ(loaded->json_data, "{\"x\":2}");

  EXPECT_FALSE(table.Load("never.saved"));
  EXPECT_FALSE(table.Load(""));
  EXPECT_TRUE(Events().empty());
}

TEST_F(ConfigTableTest, EncipheredPayloadIsBase64OnDiskAndPlainAfterLoad) {
  const std::string text = "{\"guest\":\"d\u00e9j\u00e0 vu\",\"n\":[1,2,3]}";
  {
    ConfigTable writer(ConfigTable::GetConfigsDbPath());
    ASSERT_TRUE(writer.Save({"secret", "plain value", true, text}));
  }
  const auto disk = ReadDisk(ConfigTable::GetConfigsDbPath(), "secret");
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->encrypt, 1);
  EXPECT_EQ(disk->value, "plain value");
  EXPECT_NE(disk->json_data, text);
  EXPECT_TRUE(std::regex_match(disk->json_data, std::regex("[A-Za-z0-9+/]+={0,2}")));

  // A second connection (as the stored-document lookup keeps) reads it back.
  ConfigTable reader(ConfigTable::GetConfigsDbPath());
  const auto loaded = reader.Load("secret");
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(loaded->encrypt);
  EXPECT_EQ(loaded->json_data, text);
  EXPECT_EQ(loaded->value, "plain value");
}

TEST_F(ConfigTableTest, CipherKeyIsTheMachineIdentifierAskedOncePerProcess) {
  const fs::path file = ConfigTable::GetConfigsDbPath();
  const std::string id = base::yvok_guid::GetYvokGuid();
  ASSERT_FALSE(id.empty());
  ConfigTable table(file);
  ASSERT_TRUE(table.Save({"first", "", true, "first text"}));
  EXPECT_EQ(base::crypto::DecodeXxteaBase64(id, ReadDisk(file, "first")->json_data), "first text");

  // A later change of the identifier does not reach this process: its rows
  // stay under the key it started with, and stay readable.
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, MultiInst::Instance()->GetComponentRegRoot(0),
                                  L"MachineGuid", L"another-machine"));
  ASSERT_EQ(base::yvok_guid::GetYvokGuid(), "another-machine");
  ASSERT_TRUE(table.Save({"second", "", true, "second text"}));
  EXPECT_EQ(base::crypto::DecodeXxteaBase64(id, ReadDisk(file, "second")->json_data),
            "second text");
  const auto first = table.Load("first");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->json_data, "first text");
}

// Without a machine identifier nothing can be enciphered so that it reads
// back later: such a save fails (instead of storing a payload under an empty
// key). An enciphered row still reads, deciphered with the empty key.
TEST_F(ConfigTableTest, WithoutMachineIdentifierSavesAreRefusedButReadsAreNot) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const fs::path file = ConfigTable::GetConfigsDbPath();
  {
    ConfigTable table(file);
    ASSERT_TRUE(table.Save({"secret", "v", true, "stored text"}));
  }
  dbtest::OpenUpTree(home());
  // The registry is out of reach of the child (no identifier to read or
  // make); the database is its to write.
  ::chmod((home() / "registry").c_str(), 0700);
  ::chmod(file.parent_path().c_str(), 0777);
  ::chmod(file.c_str(), 0666);

  const int answer = dbtest::InChild(
      [&] {
        config_table::ResetKeyCacheForTesting();
        if (!base::yvok_guid::GetYvokGuid().empty()) return 10;
        ConfigTable table(file);
        if (!table.IsOpen()) return 11;
        if (table.Save({"new.secret", "v", true, "new text"})) return 12;
        if (!table.Save({"new.plain", "v", false, "plain text"})) return 13;
        // Read with whatever identifier there is (none): a row comes back,
        // deciphered under that key, and the read is not refused.
        const auto secret = table.Load("secret");
        if (!secret || !secret->encrypt) return 14;
        if (secret->json_data == "stored text") return 16;
        const auto plain = table.Load("new.plain");
        if (!plain || plain->json_data != "plain text") return 15;
        return 0;
      },
      /*drop=*/true);
  EXPECT_EQ(answer, 0);
  // The refused save is a failed write; the read is no failure at all.
  for (const auto& event : Events()) EXPECT_NE(event.at("scene"), "7");
  EXPECT_FALSE(ReadDisk(file, "new.secret"));
  EXPECT_TRUE(ReadDisk(file, "new.plain"));

  // With the identifier back, the stored row reads as it was saved.
  ConfigTable table(file);
  const auto row = table.Load("secret");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->json_data, "stored text");
}

TEST_F(ConfigTableTest, UnopenableDatabaseFailsEachOperationReportingOncePerSite) {
  fs::create_directories(ConfigTable::GetConfigsDbPath());  // a directory in the file's place
  ConfigTable table(ConfigTable::GetConfigsDbPath());
  EXPECT_FALSE(table.IsOpen());
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(table.Save({"k", "v", false, ""}));
    EXPECT_FALSE(table.Load("k"));
  }
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].at("scene"), "6");
  EXPECT_EQ(events[1], (std::map<std::string, std::string>{
                           {"scene", "2"},
                           {"sql_str", kReplaceSql},
                           {"result", "0"},
                           {"code", "-1"},
                           {"extra_code", "0"},
                           {"detail", "db is null."},
                           {"extra_detail", "db file not exist: ."},
                       }));
  EXPECT_EQ(events[2].at("scene"), "7");
  EXPECT_EQ(events[2].at("sql_str"), kSelectSql);
  EXPECT_EQ(events[2].at("detail"), "db is null.");
  EXPECT_EQ(log.Containing("DB error: ").size(), 3u);
}

TEST_F(ConfigTableTest, StatementFailureIsReportedOnceWithACopyOfTheFile) {
  const fs::path file = ConfigTable::GetConfigsDbPath();
  ConfigTable table(file);
  ASSERT_TRUE(table.Save({"k", "v", false, ""}));
  {
    SQLite::Database other(file.string(), SQLite::OPEN_READWRITE);
    other.exec("DROP TABLE configs");
  }
  EXPECT_FALSE(table.Save({"k", "v2", false, ""}));
  EXPECT_FALSE(table.Save({"k", "v3", false, ""}));
  EXPECT_FALSE(table.Load("k"));

  const auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].at("scene"), "2");
  EXPECT_EQ(events[0].at("sql_str"), kReplaceSql);
  EXPECT_EQ(events[0].at("detail"), "no such table: configs");
  EXPECT_EQ(events[0].at("extra_code"), "1");
  EXPECT_EQ(events[0].at("extra_detail"), "db file copy success: Configs.db.");
  EXPECT_EQ(events[1].at("scene"), "7");
  EXPECT_EQ(events[1].at("detail"), "no such table: configs");
  EXPECT_TRUE(fs::is_regular_file(dbtest::LogsCopyOf("Configs.db")));
  EXPECT_EQ(log.Containing("err_msg:  no such table: configs").size(), 2u);
}

TEST_F(ConfigTableTest, TwoProcessesWritingAtOnceLoseNoRow) {
  const fs::path file = ConfigTable::GetConfigsDbPath();
  constexpr int kRows = 60;
  // The machine identifier exists before the writers start, as on a
  // machine where the product has run.
  ASSERT_FALSE(base::yvok_guid::GetYvokGuid().empty());

  // A third process holds the fresh file locked while both writers open it,
  // so their set-up meets a busy database; then they race each other. (No
  // connection may be open in this process across the forks.)
  dbtest::ExclusiveHolder holder;
  ASSERT_TRUE(holder.Hold(file));

  testenv::Handshake opening;
  auto writer = [&](int which) {
    return [&, which] {
      opening.Signal();
      ConfigTable table(file);
      int failed = 0;
      for (int i = 0; i < kRows; ++i) {
        const std::string key = "w" + std::to_string(which) + "." + std::to_string(i);
        if (!table.Save({key, key, i % 2 == 0, "payload " + key})) ++failed;
      }
      return failed == 0 ? 0 : 1;
    };
  };
  const pid_t first = dbtest::StartChild(writer(0));
  const pid_t second = dbtest::StartChild(writer(1));
  // Let go only once both writers are at the file and asleep on it.
  ASSERT_TRUE(opening.WaitFor(2));
  EXPECT_TRUE(testenv::WaitUntilProcessAsleep(first));
  EXPECT_TRUE(testenv::WaitUntilProcessAsleep(second));
  EXPECT_EQ(holder.Release(), 0);
  EXPECT_EQ(dbtest::WaitChild(first), 0);
  EXPECT_EQ(dbtest::WaitChild(second), 0);
  EXPECT_EQ(CountRows(file), 2 * kRows);

  ConfigTable reader(file);
  const auto row = reader.Load("w1.10");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->json_data, "payload w1.10");
  EXPECT_TRUE(Events().empty());
}

TEST_F(ConfigTableTest, ReadOnlyFileOrDirectoryGivesAFailedSave) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const fs::path file = ConfigTable::GetConfigsDbPath();
  {
    ConfigTable table(file);
    ASSERT_TRUE(table.Save({"k", "original", false, ""}));
  }
  dbtest::OpenUpTree(home());  // readable by nobody, writable by root only

  auto save_as_nobody = [&] {
    return dbtest::InChild(
        [&] {
          ConfigTable table(file);
          return table.Save({"k", "changed", false, ""}) ? 1 : 0;
        },
        /*drop=*/true);
  };
  // Neither the file nor its directory is writable.
  EXPECT_EQ(save_as_nobody(), 0);
  // The directory is writable (journal files can be made), the file is not.
  ::chmod(file.parent_path().c_str(), 0777);
  EXPECT_EQ(save_as_nobody(), 0);

  ConfigTable check(file);
  const auto row = check.Load("k");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->value, "original");
}

}  // namespace
