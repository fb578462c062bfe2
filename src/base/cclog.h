// The product's formatted log: one line per record, tagged with the process
// that wrote it, appended to "<tag>.cc.log" in the logs directory of the
// product home. Used where a line must reach the product's own log even
// without the Qt logger (probe threads, code shared with non-Qt programs).
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace nimbrel {

class cclog {
 public:
  enum class Level { kInfo, kWarning, kError };

  static cclog& instance();

  std::uint32_t pid() const;
  // The process tag: the executable's name without its extension
  // ("QuarrionUpdate").
  std::string tag() const;
  // The file this process writes.
  std::filesystem::path path() const;

  // "[2026-12-08 22:41:07.123][4711][QuarrionUpdate][E][RefreshWifiInfo:wifi_helper.cpp:88] text"
  // Line breaks in the text are written as spaces, so a record stays one line.
  void Write(Level level, std::string_view function, std::string_view file, int line,
             std::string_view text);

  // The line Write would append, without the time stamp (tests, readers).
  static std::string Format(std::string_view stamp, std::uint32_t pid, std::string_view tag,
                            Level level, std::string_view function, std::string_view file,
                            int line, std::string_view text);

 private:
  cclog() = default;
  std::mutex mutex_;
};

}  // namespace nimbrel

#define CCLOG_ERROR(function, text) \
  ::nimbrel::cclog::instance().Write(::nimbrel::cclog::Level::kError, function, __FILE__, __LINE__, text)
