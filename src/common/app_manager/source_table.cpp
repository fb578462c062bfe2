#include "common/app_manager/source_table.h"

#include <SQLiteCpp/Statement.h>

#include <mutex>

#include "common/core/sqlite/core/sqlite_error.h"

namespace app_manager {
namespace {
constexpr char kInsertSql[] = "REPLACE INTO source (package_name,source_id) VALUES (?,?)";
}  // namespace

SourceTable::SourceTable(std::shared_ptr<SQLite::Database> db, std::filesystem::path report_path)
    : db(std::move(db)), report_path(std::move(report_path)) {}

bool SourceTable::InsertSource(const std::string& package_name, const std::string& source_id) {
  std::unique_lock guard(lock);
  if (package_name.empty()) return false;
  const sqlite_error::PathSource path = [this] { return report_path; };
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::Write, path, "db is null.", kInsertSql);
    return false;
  }
  // A failure report names the statement with its values.
  std::string sql = kInsertSql;
  return sqlite_error::Guarded(DatabaseReportScene::Write, path, sql, "unknown error.", [&] {
    SQLite::Statement statement(*db, kInsertSql);
    statement.bind(1, package_name);
    statement.bind(2, source_id);
    sql = statement.getExpandedSQL();
    statement.exec();
  });
}

}  // namespace app_manager
