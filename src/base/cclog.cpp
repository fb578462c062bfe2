#include "base/cclog.h"

#include <chrono>
#include <ctime>
#include <system_error>

#include <fmt/format.h>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "platform/append_file.h"
#include "platform/process.h"

namespace nimbrel {

cclog& cclog::instance() {
  static cclog* const log = new cclog;  // used by threads that may outlive static destruction
  return *log;
}

std::uint32_t cclog::pid() const { return platform::CurrentProcessId(); }

std::string cclog::tag() const {
  std::wstring name = base::process::GetCurrentExeName();
  const std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) name.resize(dot);
  return name.empty() ? std::string("process") : base::gstring::ToUtf8(name);
}

std::filesystem::path cclog::path() const {
  return MultiInst::Instance()->LogsDirectory() / (tag() + ".cc.log");
}

std::string cclog::Format(std::string_view stamp, std::uint32_t pid, std::string_view tag,
                          Level level, std::string_view function, std::string_view file, int line,
                          std::string_view text) {
  const char letter = level == Level::kError ? 'E' : level == Level::kWarning ? 'W' : 'I';
  const std::size_t slash = file.find_last_of("\\/");
  const std::string_view file_name = slash == std::string_view::npos ? file : file.substr(slash + 1);
  std::string body(text);
  for (char& c : body) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return fmt::format("[{}][{}][{}][{}][{}:{}:{}] {}\n", stamp, pid, tag, letter, function,
                     file_name, line, body);
}

void cclog::Write(Level level, std::string_view function, std::string_view file, int line,
                  std::string_view text) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  const std::string record = Format(fmt::format("{}.{:03}", stamp, millis), pid(), tag(), level,
                                    function, file, line, text);
  std::lock_guard lock(mutex_);
  const std::filesystem::path file_path = path();
  std::error_code ec;
  std::filesystem::create_directories(file_path.parent_path(), ec);
  // One append of the whole record, never through a link left at the name
  // in the logs folder. A log that cannot be written loses the line, nothing
  // else.
  if (auto out = platform::AppendFile::Open(file_path)) (void)out->Append(record);
}

}  // namespace nimbrel
