// Bulk kills of product processes by image name, with one "kill_process"
// event and one log line per process the base library tried to end.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/system.h"

namespace kill_process_report {

// Sends "kill_process" and logs the outcome (error 0 = success).
void ReportAndLogout(const std::filesystem::path& process, unsigned long pid,
                     std::string_view killer, std::string_view location, unsigned long error);

template <typename Callback>
unsigned InternalKillProcessWithReportT(std::span<const std::wstring_view> names,
                                        std::string_view killer, std::string_view location,
                                        const std::filesystem::path& directory, unsigned waitMs,
                                        unsigned long flags, Callback&& userCallback) {
  // The views stay valid: KillProcess calls back before it returns.
  return base::system::KillProcess(
      names, directory, waitMs, flags,
      [&](const std::filesystem::path& path, unsigned long pid, unsigned long error) {
        ReportAndLogout(path, pid, killer, location, error);
        userCallback(path, pid, error);
      });
}

// Ends every process of image `image` (within `directory` when not empty);
// returns how many were ended.
unsigned InternalKillProcessWithReport(std::wstring_view image, std::string_view killer,
                                       std::string_view location,
                                       const std::filesystem::path& directory, unsigned waitMs,
                                       unsigned long flags);

}  // namespace kill_process_report
