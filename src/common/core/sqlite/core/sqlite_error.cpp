#include "common/core/sqlite/core/sqlite_error.h"

#include <fmt/format.h>

#include <QString>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/product_constants.h"
#include "common/core/sqlite/core/once_per_site.h"
#include "common/report/reporter.h"
#include "platform/files.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"

namespace fs = std::filesystem;

namespace {

// The signature text the log line carries, the same on every platform.
constexpr char kReportOnceImplSignature[] =
    "void __cdecl sqlite_error::ReportOnceImpl(enum DatabaseReportScene,const class "
    "std::filesystem::path &,const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &,const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)";

QString Text(const std::string& utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size()));
}

// The logs folder is one others may write: the copy is a new file that
// replaces whatever stands at its name, never written through a link there.
bool CopyIntoFolder(const fs::path& source, const fs::path& folder, const fs::path& name) {
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  return platform::files::ReplaceWholeFile(folder, name, bytes).ok();
}

}  // namespace

void ReportOperateDatabase(DatabaseReportScene scene, const DatabaseErrorRecord& record) {
  const std::map<std::string, std::string> params{
      {"scene", std::to_string(static_cast<int>(scene))},
      {"sql_str", record.sql},
      {"result", "0"},
      {"code", std::to_string(record.code)},
      {"extra_code", std::to_string(record.extra_code)},
      {"detail", record.detail},
      {"extra_detail", record.extra_detail},
  };
  nimbrel_report::Reporter::Instance().Report("operate_database", params);
}

namespace sqlite_error {

void ReportOnceImpl(DatabaseReportScene scene, const fs::path& path, const std::string& message,
                    const std::string& sql) {
  std::error_code ec;
  const bool is_file = !path.empty() && fs::is_regular_file(path, ec);
  const std::string db_name =
      is_file ? base::gstring::ToUtf8(base::gstring::FromPath(path.filename())) : std::string();

  DatabaseErrorRecord record;
  record.sql = sql;
  record.code = -1;
  record.detail = message;
  if (is_file) {
    const fs::path logs =
        base::gstring::ToPath(MultiInst::Instance()->GetCurrentComponentDirectory(constants::kComponentClient, false)) /
        "logs";
    if (!fs::exists(logs, ec)) fs::create_directories(logs, ec);
    fs::path target_name = path.filename();
    target_name += ".log";
    const bool copied = CopyIntoFolder(path, logs, target_name);
    record.extra_code = copied ? 1 : 0;
    record.extra_detail = copied ? fmt::format("db file copy success: {}.", db_name)
                                 : fmt::format("db file copy failed: {}.", db_name);
  } else {
    record.extra_code = 0;
    record.extra_detail = fmt::format("db file not exist: {}.", db_name);
  }
  ReportOperateDatabase(scene, record);

  if (lc_db().isCriticalEnabled()) {
    // Streamed part by part: the stream's own blank separates the parts.
    QX_SIGNED_LOG(critical, lc_db, kReportOnceImplSignature).noquote()
        << "DB error: db_name:" << Text(db_name) << ", operation: " << static_cast<int>(scene)
        << ", err_msg: " << Text(message) << ", sql: " << Text(sql);
  }
}

void ReportOnce(DatabaseReportScene scene, const PathSource& path, const std::string& message,
                const std::string& sql, FailureKind kind, std::source_location where) {
  once_per_site::CallOnce(once_per_site::Here(static_cast<int>(kind), where), [&] {
    // A report must never turn into a failure of its own.
    try {
      ReportOnceImpl(scene, path ? path() : fs::path(), message, sql);
    } catch (...) {
    }
  });
}

}  // namespace sqlite_error
