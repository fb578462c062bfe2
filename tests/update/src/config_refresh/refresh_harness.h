// The built helper run against the configuration service stand-in in a
// sandbox product home with installed applications.
#pragma once

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/app_manager/installed_app_store.h"
#include "support/child.h"
#include "support/config_service.h"
#include "support/configs_db.h"
#include "support/installed_apps.h"
#include "support/test_env.h"

namespace refresh {

namespace fs = std::filesystem;

inline constexpr const char* kBuiltins[] = {"com.morvath.nimbrel", "com.morvath.launcher", "com.android.camera2"};
inline constexpr const char* kDocKinds[] = {"keymapping", "smartkeyconf", "configfile", "appconfigjson",
                                            "globalconfig"};

// The five documents of a package as the service serves them (response key -> text).
using Documents = std::map<std::string, std::string>;

inline Documents DocumentsFor(const std::string& package) {
  return {
      {"keymapping", R"({"keys":[{"k":"W","x":0.1}],"owner":")" + package + R"("})"},
      {"smartkeyconf", "smk:" + package},
      {"configfile", R"({"is_portrait_screen":false,"owner":")" + package + R"("})"},
      {"appconfigjson", R"({"rotation":1,"owner":")" + package + R"("})"},
      {"globalconfig", R"({"feature_toggle":{"file_transfer":true}})"},
  };
}

// Response key -> storage key format.
inline std::string StorageKey(const std::string& kind, const std::string& package) {
  static const std::map<std::string, std::string> keys = {
      {"keymapping", "nimbrel.{}.default.key_mapping"}, {"smartkeyconf", "nimbrel.{}.smk"},
      {"configfile", "nimbrel.{}.guest_config"},        {"appconfigjson", "nimbrel.{}.host_config"},
      {"globalconfig", "nimbrel.{}.global_config"}};
  std::string key = keys.at(kind);
  key.replace(key.find("{}"), 2, package);
  return key;
}

// Writes plain rows (key -> value) into Configs.db as an earlier run would have.
inline void StoreRows(const fs::path& home, const std::map<std::string, std::string>& rows) {
  const fs::path db_path = testenv::ConfigsDbPath(home);
  fs::create_directories(db_path.parent_path());
  SQLite::Database db(db_path.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  db.exec(
      "CREATE TABLE IF NOT EXISTS configs(id INTEGER PRIMARY KEY AUTOINCREMENT,key varchar(256) "
      "unique,value TEXT,encrypt int,json_data TEXT)");
  for (const auto& [key, value] : rows) {
    SQLite::Statement q(db, "REPLACE INTO configs (key,value,encrypt,json_data) VALUES (?,?,0,'')");
    q.bind(1, key);
    q.bind(2, value);
    q.exec();
  }
}

inline void StoreRow(const fs::path& home, const std::string& key, const std::string& value) {
  StoreRows(home, {{key, value}});
}

// Writes a package's documents into Configs.db under their storage keys.
inline void StoreDocuments(const fs::path& home, const std::string& package, const Documents& docs) {
  std::map<std::string, std::string> rows;
  for (const auto& [kind, text] : docs) rows[StorageKey(kind, package)] = text;
  StoreRows(home, rows);
}

// InstalledApp.db with `packages` installed, in this order.
inline void InstallApps(const std::vector<std::string>& packages) {
  testenv::WriteInstalledApps(InstalledAppStore::GetInstalledAppDbPath(), packages);
}

inline void SetEnvNumber(const wchar_t* name, std::uint64_t value) {
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(), name, value);
}

// Runs the helper to its end (bounded); returns its exit code.
inline std::uint32_t RunHelper(std::uint32_t timeout_ms = 120000) {
  return testenv::RunBuiltHelper({}, timeout_ms);
}

// The helper's log lines (every log file of the home).
inline std::vector<std::string> LogLines(const fs::path& home) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(home / "logs", ec)) {
    std::ifstream in(e.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

inline std::size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l.find(text) != std::string::npos ? 1 : 0;
  return n;
}

// The "group" of each request body, in order.
inline std::vector<std::string> RequestedGroups(const std::vector<nlohmann::json>& requests) {
  std::vector<std::string> out;
  for (const auto& r : requests) {
    const auto& b = r.value("body_json", nlohmann::json());
    out.push_back(b.is_object() ? b.value("group", std::string("?")) : std::string("?"));
  }
  return out;
}

// Every file under `dir`, relative, with its content.
inline std::map<std::string, std::string> Files(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (it->is_regular_file()) out[fs::relative(it->path(), dir).string()] = testenv::ReadFile(it->path());
  }
  return out;
}

}  // namespace refresh
