// Key-value rows of Configs.db, shared with the product's other processes.
// A row's second payload may be enciphered (XXTEA under the machine
// identifier, carried as Base64); in memory it is always plain text.
#pragma once

#include <SQLiteCpp/Statement.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/core/sqlite/core/sqlite_database.h"

namespace config_table {

struct ConfigRecord {
  std::string key;
  std::string value;       // stored as is
  bool encrypt = false;    // json_data is enciphered on disk
  std::string json_data;   // plain text in memory
};

class ConfigTable : public SqliteDatabase {
 public:
  explicit ConfigTable(const std::filesystem::path& db_path);

  // <application data (type 4)>/Configs.db, built afresh on every call.
  static std::filesystem::path GetConfigsDbPath();

  // Writes one row, replacing the row of the same key. False on failure.
  bool Save(const ConfigRecord& record);
  // The row of `key`; none when there is none, the key is empty or reading failed.
  std::optional<ConfigRecord> Load(std::string_view key);

  // The current result row of a "SELECT *" on configs. Throws, as a column
  // read does, when an enciphered row cannot be deciphered for want of the
  // machine identifier.
  virtual ConfigRecord ReadRow(const SQLite::Statement& statement) const;

  // After ReadRow, which keeps the first slot of the table's virtual functions.
  virtual ~ConfigTable() = default;
};

// Forgets the cached machine identifier, so that a test can start as a fresh
// process would.
void ResetKeyCacheForTesting();

}  // namespace config_table
