// InstalledApp.db: the Android applications installed in the emulator (table
// `apps`, written by the product's other processes) and the sources they were
// installed under (table `source`). This program only back-fills sources once
// per user and lists the applications of one source.
#pragma once

#include <SQLiteCpp/Statement.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/app_manager/shortcut_table.h"
#include "common/app_manager/source_table.h"
#include "common/core/sqlite/core/sqlite_database.h"

// One `apps` row. Only package_name drives the configuration refresh; the
// rest is carried for the processes that own the table.
struct InstalledAppInfo {
  std::string package_name;
  std::string icon;
  std::string name;
  std::string engine_name;
  std::string file_path;
  std::optional<std::string> md5;
  std::optional<std::string> version_code;
  std::optional<std::string> version_name;
  std::optional<std::string> json_data;
  std::optional<std::int32_t> state;
  // Set to 2 for every row read from this table; its meaning belongs to the
  // processes that write `apps`.
  std::optional<std::int32_t> app_type;
  // Not read here.
  std::optional<std::int32_t> engine_type;
  std::optional<std::string> source_id;
};

// The current result row of a "SELECT apps.*..." (apps columns first).
InstalledAppInfo ReadAppRow(const SQLite::Statement& statement);

class InstalledAppStore : public SqliteDatabase {
 public:
  // Opens the database and back-fills the default source (once per user).
  explicit InstalledAppStore(const std::string& source_id);

  // <application data (type 4)>/InstalledApp.db.
  static std::filesystem::path GetInstalledAppDbPath();

  // The applications (states 1003 and 1004) of `source`; an empty source
  // means the store's own source id. Empty on failure.
  std::vector<InstalledAppInfo> QueryInstalledApps(const std::string& source);

  // Records the applications installed before sources existed under the
  // empty source; only for a store of the empty source, once per user.
  void ReplenishAppSource();
  // Whether `source` still has its old form (one source per package).
  bool HasOldSourceSchema();

 private:
  std::string source_id;
  std::shared_ptr<app_manager::SourceTable> source_table;
  std::shared_ptr<app_manager::ShortcutTable> shortcut_table;
  // The schema check is made once per store (it is a fact of this file).
  std::optional<bool> old_source_schema;
};
