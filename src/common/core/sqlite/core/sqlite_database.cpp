#include "common/core/sqlite/core/sqlite_database.h"

#include <sqlite3.h>

#include <QString>
#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "base/gstring.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"

namespace fs = std::filesystem;

namespace {

constexpr char kInitializeSignature[] =
    "void __cdecl SqliteDatabase::Initialize(const class std::filesystem::path &,const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)";

constexpr char kOpenUnknownMessage[] =
    "SqliteDatabase::Initialize::<lambda_2>::operator () ...exception";

// Another process of the product may be creating the same file right now;
// waiting for it beats failing the whole set-up (the WAL switch needs a lock).
constexpr int kBusyTimeoutMs = 5000;

// Runs `sql`, again while SQLite answers "busy", until the busy time-out has
// passed. The busy handler does not cover every step of the set-up: while
// another process is switching the same new file to WAL, SQLite refuses the
// switch at once rather than wait (waiting there could deadlock), and the
// connection would be given up for good. The set-up statements are
// idempotent, so running one again is safe.
void ExecWhileBusy(SQLite::Database& db, const std::string& sql) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(kBusyTimeoutMs);
  auto pause = milliseconds(1);
  for (;;) {
    try {
      db.exec(sql);
      return;
    } catch (const SQLite::Exception& e) {
      if ((e.getErrorCode() & 0xFF) != SQLITE_BUSY || steady_clock::now() >= deadline) throw;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, milliseconds(20));
  }
}

}  // namespace

void SqliteDatabase::Initialize(const fs::path& db_path, const std::string& init_sql) {
  std::error_code ec;
  if (db_path.has_parent_path()) fs::create_directories(db_path.parent_path(), ec);

  ec.clear();
  const fs::file_status status = fs::status(db_path, ec);
  if (ec || !fs::exists(status)) {
    if (lc_db().isInfoEnabled()) {
      const std::wstring wide = base::gstring::FromPath(db_path);
      QX_SIGNED_LOG(info, lc_db, kInitializeSignature).noquote()
          << "DB file not exist, creating: " << QString::fromStdWString(wide);
    }
  }

  const sqlite_error::PathSource report_path = [db_path] { return db_path; };
  try {
    db = std::make_shared<SQLite::Database>(
        base::gstring::ToUtf8(base::gstring::FromPath(db_path)),
        SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, kBusyTimeoutMs);
  } catch (const std::exception& e) {
    sqlite_error::ReportOnce(DatabaseReportScene::Open, report_path, e.what(), std::string(),
                             sqlite_error::FailureKind::kStd);
    db.reset();
    return;
  } catch (...) {
    sqlite_error::ReportOnce(DatabaseReportScene::Open, report_path, kOpenUnknownMessage,
                             std::string(), sqlite_error::FailureKind::kUnknown);
    db.reset();
    return;
  }

  path = db_path;
  if (!ExecInitSql(init_sql)) db.reset();
}

bool SqliteDatabase::ExecInitSql(const std::string& init_sql) {
  const sqlite_error::PathSource report_path = [this] { return path; };
  if (!db) {
    sqlite_error::ReportOnce(DatabaseReportScene::InitTable, report_path, "db is null.", init_sql);
    return false;
  }
  return sqlite_error::Guarded(DatabaseReportScene::InitTable, report_path, init_sql,
                               "Create db failed, unknown error.", [&] {
                                 ExecWhileBusy(*db,
                                               "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;");
                                 ExecWhileBusy(*db, "PRAGMA busy_timeout = 5000");
                                 ExecWhileBusy(*db, init_sql);
                               });
}
