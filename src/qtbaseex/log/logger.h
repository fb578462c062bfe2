// The process's log sink: a Qt message handler that writes one file per run
// under the product's logs directory. Line format:
//   2026-12-08 16:31:55.123 [I] [category] [file:line] [function] message
#pragma once

#include <QtGlobal>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/append_file.h"

namespace qtbaseex::log {

class Logger {
 public:
  static Logger* Instance();

  // Installs the handler; the file is logs/QuarrionUpdate_<time>_<pid>.log.
  // After an UnInitialize, starts a new file in the current logs folder.
  void Initialize();
  // Ends the run's logging. The handler and the file stay until the process
  // ends: threads that outlive the main routine (the detached probes) still
  // write their lines into this run's file instead of losing them. Every line
  // is already in the file when its message returns, so nothing is left to
  // flush.
  void UnInitialize();

  std::filesystem::path FilePath() const;

 private:
  Logger() = default;
  // Opens the file and installs the handler; the reason when there is no file.
  std::string InitializeLocked();
  static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
  void Write(QtMsgType type, const QMessageLogContext& context, const QString& message);

  mutable std::mutex mutex_;
  // One write per line at the end of the file: a line is whole or absent,
  // even when the process ends while another thread is writing one.
  platform::AppendFile file_;
  std::filesystem::path path_;
  QtMessageHandler previous_ = nullptr;
  bool running_ = false;
};

}  // namespace qtbaseex::log
