// Reads the rows of Configs.db and the guest configuration files of a
// product home as they are on disk, independently of the code under test.
#pragma once

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "support/test_env.h"

namespace testenv {

struct ConfigRow {
  std::string value;
  int encrypt = 0;
  std::string json_data;
  bool operator==(const ConfigRow&) const = default;
};

inline std::filesystem::path ConfigsDbPath(const std::filesystem::path& home) {
  return home / "appdata" / "4" / "Configs.db";
}

// Every row by key; empty when there is no database yet.
inline std::map<std::string, ConfigRow> ReadConfigRows(const std::filesystem::path& home) {
  std::map<std::string, ConfigRow> rows;
  const auto path = ConfigsDbPath(home);
  if (!std::filesystem::exists(path)) return rows;
  SQLite::Database db(path.string(), SQLite::OPEN_READONLY);
  if (!db.tableExists("configs")) return rows;
  SQLite::Statement q(db, "SELECT key, value, encrypt, json_data FROM configs");
  while (q.executeStep()) {
    rows[q.getColumn(0).getString()] =
        ConfigRow{q.getColumn(1).getString(), q.getColumn(2).getInt(), q.getColumn(3).getString()};
  }
  return rows;
}

inline std::optional<std::string> ConfigValue(const std::filesystem::path& home, const std::string& key) {
  const auto rows = ReadConfigRows(home);
  const auto it = rows.find(key);
  if (it == rows.end()) return std::nullopt;
  return it->second.value;
}

inline std::filesystem::path GuestFile(const std::filesystem::path& home, const std::string& package) {
  return home / "shared" / "config" / (package + ".conf");
}

}  // namespace testenv
