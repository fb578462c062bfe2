// One SQLite database file of the product: opened (created if need be) in
// write-ahead-log mode with full synchronisation and a busy time-out, with
// the owner's tables created. The product's table classes derive from it and
// serialise their statements on the shared connection with `lock`.
#pragma once

#include <SQLiteCpp/Database.h>

#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>

#include "common/core/sqlite/core/sqlite_error.h"

class SqliteDatabase {
 public:
  SqliteDatabase() = default;
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  // Opens the database at `db_path` and runs `init_sql`. Failures are
  // reported; success shows only as an open connection.
  void Initialize(const std::filesystem::path& db_path, const std::string& init_sql);

  // The pragmas and `init_sql`; true on success.
  bool ExecInitSql(const std::string& init_sql);

  bool IsOpen() const { return db != nullptr; }

 protected:
  ~SqliteDatabase() = default;

  // Empty while the database is not open (or its set-up failed).
  std::shared_ptr<SQLite::Database> db;
  // Writers take it exclusively, readers shared, for a statement's whole life.
  mutable std::shared_mutex lock;
  // Set once the connection is open.
  std::filesystem::path path;
};
