// Writes InstalledApp.db as the product's application store leaves it: each
// package installed (state 1003) under the default source, in the given
// order, in one transaction. Names are bound as they are, NUL bytes included.
// Header-only: the benchmarks use it too.
#pragma once

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testenv {

inline void WriteInstalledApps(const std::filesystem::path& db_path, const std::vector<std::string>& packages) {
  std::filesystem::create_directories(db_path.parent_path());
  SQLite::Database db(db_path.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  db.exec(
      "CREATE TABLE IF NOT EXISTS apps(id INTEGER PRIMARY KEY AUTOINCREMENT,package_name "
      "varchar(256) unique,version_code varchar(128),version_name varchar(128),icon TEXT,name "
      "varchar(256),md5 varchar(64),engine_name varchar(64), file_path TEXT, json_data TEXT,state "
      "int,engine_type int);CREATE TABLE IF NOT EXISTS source(package_name varchar(256), source_id "
      "varchar(128), CONSTRAINT unique_package_source UNIQUE (package_name, source_id));");
  SQLite::Transaction transaction(db);
  for (const std::string& p : packages) {
    SQLite::Statement app(db, "INSERT INTO apps(package_name,state) VALUES (?,1003)");
    app.bind(1, p);
    app.exec();
    SQLite::Statement source(db, "INSERT INTO source(package_name,source_id) VALUES (?,'')");
    source.bind(1, p);
    source.exec();
  }
  transaction.commit();
}

}  // namespace testenv
