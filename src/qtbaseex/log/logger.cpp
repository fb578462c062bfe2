#include "qtbaseex/log/logger.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QString>
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
    if (running_) return;
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
  static_cast<void>(file_.SyncAndClose());  // an earlier run's file, kept open for its late lines
  // Append: a second run within the same second with a reused pid keeps both.
  // Other users may write the logs folder, so the platform's appending open
  // is the one that refuses to write through a link put at the name.
  platform::Result<platform::AppendFile> opened = platform::AppendFile::Open(path_);
  const platform::ErrorCode open_error = opened.error();
  file_ = std::move(opened).value_or(platform::AppendFile());

  // Installed once for the process; a handler someone installed after ours
  // (and removed again) is not taken for the one before ours.
  const QtMessageHandler replaced = qInstallMessageHandler(&Logger::Handler);
  if (replaced != &Logger::Handler) previous_ = replaced;
  running_ = true;
  if (file_.is_open()) return {};
  return "log file " + path_.string() + " cannot be opened (error " + std::to_string(open_error) +
         "): messages go to the previous handler";
}

void Logger::UnInitialize() {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
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

  std::string line = std::string(time.constData()) + " [" + LevelLetter(type) + "] [" + category +
                     "] [" + file + ":" + std::to_string(context.line) + "] [" + function + "] ";
  line.append(text.constData(), static_cast<std::size_t>(text.size()));
  line += '\n';

  QtMessageHandler fallback = nullptr;
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.is_open()) {
      if (const platform::Result<void> written = file_.Append(line); !written) {
        // A full disk or a file size limit: the file cannot take this line or
        // the next ones. Give it up rather than lose every later message.
        static_cast<void>(file_.SyncAndClose());
        fallback = previous_;
        failure = "log file " + path_.string() + " cannot be written (error " +
                  std::to_string(written.error()) + "): messages go to the previous handler";
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
