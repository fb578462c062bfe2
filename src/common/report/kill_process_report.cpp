#include "common/report/kill_process_report.h"

#include <QDebug>
#include <QString>

#include <array>
#include <map>
#include <string>

#include "base/gstring.h"
#include "common/report/reporter.h"
#include "qtbaseex/log/categories.h"

namespace kill_process_report {

void ReportAndLogout(const std::filesystem::path& process, unsigned long pid,
                     std::string_view killer, std::string_view location, unsigned long error) {
  const std::wstring wide_path = base::gstring::FromPath(process);
  // The views are used with their own length: a caller's view need not end
  // in a NUL.
  std::map<std::string, std::string> params{
      {"proc_name", base::gstring::ToUtf8(wide_path)},
      {"pid", std::to_string(pid)},
      {"process_killer_name", std::string(killer)},
      {"process_kill_location", std::string(location)},
      {"success", error == 0 ? "succ" : "fail"},
      {"error_code", std::to_string(error)},
  };
  nimbrel_report::Reporter::Instance().Report("kill_process", params);
  // One text joined piece by piece, logged exactly as it stands.
  std::string line = "[kill_process] killer : ";
  line += killer;
  line += ", target: ";
  line += params["proc_name"];
  line += ", pid: ";
  line += std::to_string(pid);
  line += ", location: ";
  line += location;
  line += ", ";
  line += error == 0 ? "success" : "failed";
  qCInfo(lc_utils).noquote().nospace() << QString::fromStdString(line);
}

unsigned InternalKillProcessWithReport(std::wstring_view image, std::string_view killer,
                                       std::string_view location,
                                       const std::filesystem::path& directory, unsigned waitMs,
                                       unsigned long flags) {
  const std::array<std::wstring_view, 1> names{image};
  return InternalKillProcessWithReportT(
      std::span<const std::wstring_view>(names), killer, location, directory, waitMs, flags,
      [](const std::filesystem::path&, unsigned long, unsigned long) {});
}

}  // namespace kill_process_report
