#include "qtbaseex/log/logger.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "base/multi_inst.h"
#include "qtbaseex/log/categories.h"

namespace qtbaseex::log {

namespace {

char LevelLetter(QtMsgType type) {
  switch (type) {
    case QtDebugMsg: return 'D';
    case QtInfoMsg: return 'I';
    case QtWarningMsg: return 'W';
    case QtCriticalMsg: return 'C';
    case QtFatalMsg: return 'F';
  }
  return '?';
}

// A message raised while a line is being written (by Qt itself, say) must not
// come back into the sink and dead-lock on its mutex.
thread_local bool t_in_handler = false;

}  // namespace

Logger* Logger::Instance() {
  static Logger* const instance = new Logger();  // lives until exit: late messages still land
  return instance;
}

void Logger::Initialize() {
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (installed_) return;
    failure = InitializeLocked();
  }
  // Said through the handler, which hands it to the previous one: without a
  // file this is where the messages go.
  if (!failure.empty()) qCWarning(lc_app_launch).noquote() << QString::fromStdString(failure);
}

std::string Logger::InitializeLocked() {
  const std::filesystem::path directory = MultiInst::Instance()->LogsDirectory();
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);

  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss"));
  const std::string name = "QuarrionUpdate_" + stamp.toStdString() + "_" +
                           std::to_string(QCoreApplication::applicationPid()) + ".log";
  path_ = directory / name;
  // Append: a second run within the same second with a reused pid keeps both.
  file_ = std::fopen(path_.c_str(), "ab");
  const int open_error = errno;

  previous_ = qInstallMessageHandler(&Logger::Handler);
  installed_ = true;
  if (file_ != nullptr) return {};
  return "log file " + path_.string() + " cannot be opened (" + std::strerror(open_error) +
         "): messages go to the previous handler";
}

void Logger::UnInitialize() {
  QtMessageHandler previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!installed_) return;
    previous = previous_;
    installed_ = false;
    previous_ = nullptr;
    if (file_ != nullptr) {
      std::fflush(file_);
      std::fclose(file_);
      file_ = nullptr;
    }
  }
  qInstallMessageHandler(previous);
}

std::filesystem::path Logger::FilePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

void Logger::Handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (t_in_handler) return;
  t_in_handler = true;
  Instance()->Write(type, context, message);
  t_in_handler = false;
}

void Logger::Write(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const QByteArray time =
      QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8();
  const char* category = context.category != nullptr ? context.category : "default";
  const char* file = context.file != nullptr ? context.file : "";
  const char* function = context.function != nullptr ? context.function : "";
  // One record per line: a line break inside a message (an argument, a path)
  // must not start what reads as a record of its own.
  QByteArray text = message.toUtf8();
  text.replace('\n', "\\n").replace('\r', "\\r");

  QtMessageHandler fallback = nullptr;
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) {
      errno = 0;
      const int written =
          std::fprintf(file_, "%s [%c] [%s] [%s:%d] [%s] %s\n", time.constData(),
                       LevelLetter(type), category, file, context.line, function, text.constData());
      // Per line, so the log survives a crash up to its last message.
      const int flushed = std::fflush(file_);
      if (written < 0 || flushed != 0 || std::ferror(file_) != 0) {
        // A full disk or a file size limit: the file cannot take this line or
        // the next ones. Give it up rather than lose every later message.
        const int write_error = errno != 0 ? errno : EIO;
        std::fclose(file_);
        file_ = nullptr;
        fallback = previous_;
        failure = "log file " + path_.string() + " cannot be written (" +
                  std::strerror(write_error) + "): messages go to the previous handler";
      }
    } else {
      fallback = previous_;
    }
  }
  // Without a file (logs directory not writable, disk full) the message
  // still goes where it would have gone before, after the reason once.
  if (fallback == nullptr) return;
  if (!failure.empty()) {
    const QMessageLogContext here(__FILE__, __LINE__, Q_FUNC_INFO, lc_app_launch().categoryName());
    fallback(QtWarningMsg, here, QString::fromStdString(failure));
  }
  fallback(type, context, message);
}

}  // namespace qtbaseex::log
