// The process's log sink: a Qt message handler that writes one file per run
// under the product's logs directory. Line format:
//   2026-12-08 16:31:55.123 [I] [category] [file:line] [function] message
#pragma once

#include <QtGlobal>
#include <filesystem>
#include <mutex>
#include <string>

namespace qtbaseex::log {

class Logger {
 public:
  static Logger* Instance();

  // Installs the handler; the file is logs/QuarrionUpdate_<time>_<pid>.log.
  void Initialize();
  // Flushes, closes and restores the handler that was there before.
  void UnInitialize();

  std::filesystem::path FilePath() const;

 private:
  Logger() = default;
  // Opens the file and installs the handler; the reason when there is no file.
  std::string InitializeLocked();
  static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
  void Write(QtMsgType type, const QMessageLogContext& context, const QString& message);

  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
  QtMessageHandler previous_ = nullptr;
  bool installed_ = false;
};

}  // namespace qtbaseex::log
