#include "common/config_table/config_table.h"

#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "base/crypto.h"
#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/product_constants.h"
#include "base/yvok_guid.h"

namespace config_table {
namespace {

constexpr char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS configs(id INTEGER PRIMARY KEY AUTOINCREMENT,key varchar(256) "
    "unique,value TEXT,encrypt int,json_data TEXT)";
constexpr char kReplaceSql[] =
    "REPLACE INTO configs (key,value,encrypt,json_data) VALUES (?,?,?,?)";
constexpr char kSelectSql[] = "SELECT * FROM configs where key=?";
constexpr char kUnknownError[] = "unknown error.";

// The machine identifier is the cipher key. Asking for it is not free, so it
// is kept once known; an empty answer is asked again next time.
struct KeyCache {
  std::mutex mutex;
  std::string key;
};

KeyCache& TheKeyCache() {
  static KeyCache cache;
  return cache;
}

// The identifier as known now; empty while it is unavailable.
std::string CurrentMachineKey() {
  KeyCache& cache = TheKeyCache();
  std::lock_guard guard(cache.mutex);
  if (cache.key.empty()) cache.key = base::yvok_guid::GetYvokGuid();
  return cache.key;
}

// The key to encipher a row with.
std::string MachineKeyForWriting() {
  std::string key = CurrentMachineKey();
  if (key.empty()) {
    // Enciphered under an empty key, a row could never be read back once the
    // identifier is known again (nor by the other processes): the statement
    // fails instead, and is reported as such.
    throw std::runtime_error("machine identifier unavailable.");
  }
  return key;
}

const sqlite_error::PathSource kReportPath = [] { return ConfigTable::GetConfigsDbPath(); };

}  // namespace

void ResetKeyCacheForTesting() {
  KeyCache& cache = TheKeyCache();
  std::lock_guard guard(cache.mutex);
  cache.key.clear();
}

ConfigTable::ConfigTable(const std::filesystem::path& db_path) { Initialize(db_path, kCreateSql); }

std::filesystem::path ConfigTable::GetConfigsDbPath() {
  return base::gstring::ToPath(MultiInst::Instance()->GetAppdataNimbrelDirectory(constants::kAppdataDatabases, true)) /
         "Configs.db";
}

bool ConfigTable::Save(const ConfigRecord& record) {
  std::unique_lock guard(lock);
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::Write, kReportPath, "db is null.", kReplaceSql);
    return false;
  }
  return sqlite_error::Guarded(DatabaseReportScene::Write, kReportPath, kReplaceSql,
                               kUnknownError, [&] {
                                 SQLite::Statement statement(*db, kReplaceSql);
                                 statement.bind(1, record.key);
                                 statement.bind(2, record.value);
                                 statement.bind(3, record.encrypt ? 1 : 0);
                                 if (record.encrypt) {
                                   statement.bind(4, base::crypto::EncodeXxteaBase64(
                                                         MachineKeyForWriting(), record.json_data));
                                 } else {
                                   statement.bind(4, record.json_data);
                                 }
                                 statement.exec();
                               });
}

std::optional<ConfigRecord> ConfigTable::Load(std::string_view key) {
  std::shared_lock guard(lock);
  if (key.empty()) return std::nullopt;
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::Read, kReportPath, "db is null.", kSelectSql);
    return std::nullopt;
  }
  std::optional<ConfigRecord> result;
  sqlite_error::Guarded(DatabaseReportScene::Read, kReportPath, kSelectSql, kUnknownError, [&] {
    SQLite::Statement statement(*db, kSelectSql);
    statement.bind(1, std::string(key));
    if (statement.executeStep()) result = ReadRow(statement);
  });
  return result;
}

ConfigRecord ConfigTable::ReadRow(const SQLite::Statement& statement) const {
  ConfigRecord record;
  record.key = statement.getColumn(1).getString();
  record.value = statement.getColumn(2).getString();
  record.encrypt = statement.getColumn(3).getInt() != 0;
  record.json_data = statement.getColumn(4).getString();
  if (record.encrypt) {
    // Deciphered with whatever identifier there is, even none: what comes
    // out is the caller's to judge (a document that does not parse), and a
    // read is never refused or reported for it.
    record.json_data = base::crypto::DecodeXxteaBase64(CurrentMachineKey(), record.json_data);
  }
  return record;
}

}  // namespace config_table
