// Shared by the database tests: a fresh product home with the reporter
// writing to its spool, the log lines with their function texts, schema
// reading, reference databases made by the sqlite3 shell, and running a piece
// of a test as an unprivileged user.
#pragma once

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "common/core/sqlite/core/once_per_site.h"
#include "qtbaseex/log/categories.h"
#include "support/log_recorder.h"
#include "support/spool.h"
#include "support/test_env.h"

namespace dbtest {

namespace fs = std::filesystem;

using LogLine = testenv::RecordedLine;
using LogRecorder = testenv::LogRecorder;

// A fresh home, the report sites forgotten, events going to the home's spool.
class DbTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    once_per_site::ResetForTesting();
    reporter_ = std::make_unique<testenv::SpoolReporter>();
  }
  void TearDown() override { reporter_.reset(); }

  static std::vector<std::map<std::string, std::string>> Events() {
    return testenv::ReadEventParams("operate_database");
  }

  LogRecorder log;

 private:
  std::unique_ptr<testenv::SpoolReporter> reporter_;
};

// Where a failing database is copied to.
inline fs::path LogsCopyOf(const std::string& file_name) {
  return base::gstring::ToPath(MultiInst::Instance()->GetCurrentComponentDirectory(1, false)) /
         "logs" / (file_name + ".log");
}

// type|name|tbl_name|sql of every schema object, in name order.
inline std::vector<std::string> SchemaOf(const fs::path& db_path) {
  SQLite::Database db(db_path.string(), SQLite::OPEN_READONLY);
  SQLite::Statement query(db, "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name");
  std::vector<std::string> rows;
  while (query.executeStep()) {
    rows.push_back(query.getColumn(0).getString() + "|" + query.getColumn(1).getString() + "|" +
                   query.getColumn(2).getString() + "|" + query.getColumn(3).getString());
  }
  return rows;
}

// Runs `sql` on `db_path` in the sqlite3 shell (a real process); its exit status.
inline int RunSqliteShell(const fs::path& db_path, const std::string& sql) {
  const std::string command = "sqlite3 '" + db_path.string() + "'";
  FILE* shell = ::popen(command.c_str(), "w");
  if (shell == nullptr) return -1;
  std::fputs(sql.c_str(), shell);
  std::fputs("\n", shell);
  return ::pclose(shell);
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Lets another user reach everything under `root` (tests run as root in a
// 0700 temporary home).
inline void OpenUpTree(const fs::path& root) {
  ::chmod(root.c_str(), 0755);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory()) ::chmod(entry.path().c_str(), 0755);
    else ::chmod(entry.path().c_str(), 0644);
  }
}

inline constexpr uid_t kNobody = 65534;

// Starts `body` in a child process, as user nobody when `drop` is set; the
// child's answer is its exit code.
inline pid_t StartChild(const std::function<int()>& body, bool drop = false) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (drop && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(120);
    int code = 121;
    try {
      code = body();
    } catch (...) {
      code = 122;
    }
    ::_exit(code);
  }
  return pid;
}

// The child's exit code; -1 when it did not exit normally.
inline int WaitChild(pid_t pid) {
  if (pid <= 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int InChild(const std::function<int()>& body, bool drop = false) {
  return WaitChild(StartChild(body, drop));
}

// Another process holding `file` in an exclusive transaction, so that those
// opening it meanwhile meet a busy database. Hold() returns once the lock is
// held; Release() lets the holder commit and answers its exit code (0).
// No connection may be open in the calling process across the fork.
class ExclusiveHolder {
 public:
  ~ExclusiveHolder() {
    if (holder_ > 0) Release();
    for (int fd : {locked_[0], locked_[1], release_[0], release_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool Hold(const std::filesystem::path& file) {
    if (::pipe(locked_) != 0 || ::pipe(release_) != 0) return false;
    holder_ = StartChild([&] {
      SQLite::Database db(file.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
      db.exec("BEGIN EXCLUSIVE");
      char c = 'h';
      if (::write(locked_[1], &c, 1) != 1 || ::read(release_[0], &c, 1) != 1) return 10;
      db.exec("COMMIT");
      return 0;
    });
    char c = 0;
    return holder_ > 0 && ::read(locked_[0], &c, 1) == 1;
  }
  int Release() {
    if (holder_ <= 0 || ::write(release_[1], "r", 1) != 1) return -1;
    const int code = WaitChild(holder_);
    holder_ = -1;
    return code;
  }

 private:
  int locked_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t holder_ = -1;
};

}  // namespace dbtest
