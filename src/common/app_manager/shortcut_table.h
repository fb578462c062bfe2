// Table object for the application shortcuts kept beside the installed
// applications. It shares the store's connection; this program creates it
// with the store but issues no statements through it.
#pragma once

#include <SQLiteCpp/Database.h>

#include <memory>
#include <shared_mutex>

namespace app_manager {

class ShortcutTable {
 public:
  explicit ShortcutTable(std::shared_ptr<SQLite::Database> db) : db(std::move(db)) {}

  bool IsOpen() const { return db != nullptr; }

 private:
  std::shared_ptr<SQLite::Database> db;
  std::shared_mutex lock;
};

}  // namespace app_manager
