// The single place where a database failure is logged, its database file is
// copied next to the client's logs for diagnosis, and an "operate_database"
// event is sent, each at most once per failure site and process.
#pragma once

#include <SQLiteCpp/Exception.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <source_location>
#include <string>
#include <utility>

// The kind of operation that failed; its number is sent as "scene".
enum class DatabaseReportScene : int {
  InitTable = 1,  // pragmas and table creation right after opening
  Write = 2,      // a REPLACE statement of a table class
  Open = 6,       // opening or creating the database file
  Read = 7,       // a SELECT statement of a table class
};

struct DatabaseErrorRecord {
  std::string sql;                // the failing statement; empty for Open
  std::int32_t code = -1;
  std::int32_t extra_code = 0;    // 1 when the database file was copied to the logs
  std::string detail;             // the error message
  std::string extra_detail;       // how the copy went
};

// Sends the event "operate_database" with its seven parameters.
void ReportOperateDatabase(DatabaseReportScene scene, const DatabaseErrorRecord& record);

namespace sqlite_error {

// Logs, copies the database file and reports; every call reports (the
// callers keep the once-per-site rule).
void ReportOnceImpl(DatabaseReportScene scene, const std::filesystem::path& path,
                    const std::string& message, const std::string& sql);

// Where the database file of a report is; asked only when a report is made.
using PathSource = std::function<std::filesystem::path()>;

enum class FailureKind : int { kNoConnection = 0, kSqlite = 1, kStd = 2, kUnknown = 3 };

// Reports through ReportOnceImpl the first time this site (the caller's
// location together with `kind`) is passed in the process.
void ReportOnce(DatabaseReportScene scene, const PathSource& path, const std::string& message,
                const std::string& sql, FailureKind kind = FailureKind::kNoConnection,
                std::source_location where = std::source_location::current());

// Runs `statement`; an exception escaping it becomes a report at the
// caller's site, one site per kind (SQLite's, another standard one, anything
// else with `unknown_message`), and the answer false. `sql` is read only when
// reporting, so the statement may refine it (e.g. to its expanded text).
template <class Statement>
bool Guarded(DatabaseReportScene scene, const PathSource& path, const std::string& sql,
             const char* unknown_message, Statement&& statement,
             std::source_location where = std::source_location::current()) {
  try {
    std::forward<Statement>(statement)();
    return true;
  } catch (const SQLite::Exception& e) {
    ReportOnce(scene, path, e.what(), sql, FailureKind::kSqlite, where);
  } catch (const std::exception& e) {
    ReportOnce(scene, path, e.what(), sql, FailureKind::kStd, where);
  } catch (...) {
    ReportOnce(scene, path, unknown_message, sql, FailureKind::kUnknown, where);
  }
  return false;
}

}  // namespace sqlite_error
