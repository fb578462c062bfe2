#include "common/app_manager/installed_app_store.h"

#include <mutex>
#include <shared_mutex>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "common/utils/run_once_mark.h"
#include "base/product_constants.h"

namespace {

constexpr char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS apps(id INTEGER PRIMARY KEY AUTOINCREMENT,package_name "
    "varchar(256) unique,version_code varchar(128),version_name varchar(128),icon TEXT,name "
    "varchar(256),md5 varchar(64),engine_name varchar(64), file_path TEXT, json_data TEXT,state "
    "int,engine_type int);CREATE TABLE IF NOT EXISTS source(package_name varchar(256), source_id "
    "varchar(128), CONSTRAINT unique_package_source UNIQUE (package_name, source_id));";
constexpr char kSelectAppsSql[] = "SELECT * FROM apps where state=? or state=?";
constexpr char kSourceSchemaSql[] =
    "SELECT sql FROM sqlite_master WHERE tbl_name = 'source' AND type = 'table';";
constexpr char kQuerySql[] =
    "SELECT apps.*, source.* FROM apps JOIN source ON apps.package_name = source.package_name "
    "where (apps.state=? or apps.state=?) and source.source_id=?";
constexpr char kOldSourceColumn[] = "package_name varchar(256) unique";
constexpr char kUnknownError[] = "unknown error.";

// The states of the applications this program handles.
constexpr int kStateA = 1003;
constexpr int kStateB = 1004;

const sqlite_error::PathSource kReportPath = [] {
  return InstalledAppStore::GetInstalledAppDbPath();
};

// Transaction control; a failure only means the rows go in one by one.
bool TryExec(SQLite::Database& db, const char* sql) {
  try {
    db.exec(sql);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

InstalledAppInfo ReadAppRow(const SQLite::Statement& statement) {
  InstalledAppInfo info;
  info.package_name = statement.getColumn(1).getString();
  info.icon = statement.getColumn(4).getString();
  info.name = statement.getColumn(5).getString();
  info.engine_name = statement.getColumn(7).getString();
  info.file_path = statement.getColumn(8).getString();
  info.md5 = statement.getColumn(6).getString();
  info.version_code = statement.getColumn(2).getString();
  info.version_name = statement.getColumn(3).getString();
  info.json_data = statement.getColumn(9).getString();
  info.state = statement.getColumn(10).getInt();
  info.app_type = 2;
  return info;
}

InstalledAppStore::InstalledAppStore(const std::string& source_id) {
  Initialize(GetInstalledAppDbPath(), kCreateSql);
  this->source_id = source_id;
  source_table = std::make_shared<app_manager::SourceTable>(db, GetInstalledAppDbPath());
  shortcut_table = std::make_shared<app_manager::ShortcutTable>(db);
  ReplenishAppSource();
}

std::filesystem::path InstalledAppStore::GetInstalledAppDbPath() {
  return base::gstring::ToPath(MultiInst::Instance()->GetAppdataNimbrelDirectory(constants::kAppdataDatabases, true)) /
         "InstalledApp.db";
}

void InstalledAppStore::ReplenishAppSource() {
  if (!source_id.empty()) return;
  if (RunOnceMark(L"ReplenishAppSource").TestAndSet()) return;

  std::unique_lock guard(lock);
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::Read, kReportPath, "db is null.",
                             kSelectAppsSql);
    return;
  }
  if (!old_source_schema) old_source_schema = HasOldSourceSchema();
  if (*old_source_schema) return;

  // Rows listed before a failing step still go in, as they would have one by one.
  std::vector<std::string> packages;
  sqlite_error::Guarded(DatabaseReportScene::Read, kReportPath, kSelectAppsSql, kUnknownError,
                        [&] {
                          SQLite::Statement statement(*db, kSelectAppsSql);
                          statement.bind(1, kStateA);
                          statement.bind(2, kStateB);
                          while (statement.executeStep()) {
                            packages.push_back(ReadAppRow(statement).package_name);
                          }
                        });
  if (packages.empty()) return;
  // One transaction: one sync for the whole back-fill instead of one per row.
  // A row that cannot be recorded is reported by the table and the others
  // still go in; should the commit itself fail, every row is written again
  // on its own, so the back-fill is never lost to the batch (the mark is
  // already set and it is not tried again).
  const bool batched = TryExec(*db, "BEGIN IMMEDIATE");
  for (const auto& package : packages) source_table->InsertSource(package, "");
  if (batched && !TryExec(*db, "COMMIT")) {
    TryExec(*db, "ROLLBACK");
    for (const auto& package : packages) source_table->InsertSource(package, "");
  }
}

bool InstalledAppStore::HasOldSourceSchema() {
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::Read, kReportPath, "db is null.",
                             kSourceSchemaSql);
    return false;
  }
  bool old = false;
  sqlite_error::Guarded(DatabaseReportScene::Read, kReportPath, kSourceSchemaSql, kUnknownError,
                        [&] {
                          SQLite::Statement statement(*db, kSourceSchemaSql);
                          while (!old && statement.executeStep()) {
                            old = statement.getColumn(0).getString().find(kOldSourceColumn) !=
                                  std::string::npos;
                          }
                        });
  return old;
}

std::vector<InstalledAppInfo> InstalledAppStore::QueryInstalledApps(const std::string& source) {
  std::shared_lock guard(lock);
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::Read, kReportPath, "db is null.", kQuerySql);
    return {};
  }
  std::vector<InstalledAppInfo> apps;
  const bool ok = sqlite_error::Guarded(
      DatabaseReportScene::Read, kReportPath, kQuerySql, kUnknownError, [&] {
        SQLite::Statement statement(*db, kQuerySql);
        statement.bind(1, kStateA);
        statement.bind(2, kStateB);
        statement.bind(3, source.empty() ? source_id : source);
        while (statement.executeStep()) apps.push_back(ReadAppRow(statement));
      });
  if (!ok) apps.clear();
  return apps;
}
