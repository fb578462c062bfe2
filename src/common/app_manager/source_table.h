// Table `source` of InstalledApp.db: under which source (distribution
// channel id) each application was installed; one pair per row.
#pragma once

#include <SQLiteCpp/Database.h>

#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>

namespace app_manager {

class SourceTable {
 public:
  // `db` is the store's connection (empty when it could not be opened);
  // `report_path` is the database file named in failure reports.
  SourceTable(std::shared_ptr<SQLite::Database> db, std::filesystem::path report_path);

  // Records (package_name, source_id); an existing pair stays one row.
  bool InsertSource(const std::string& package_name, const std::string& source_id);

 private:
  std::shared_ptr<SQLite::Database> db;
  std::shared_mutex lock;
  std::filesystem::path report_path;
};

}  // namespace app_manager
