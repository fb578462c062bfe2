// Records every Qt message of the process while alive: level, category,
// function text and message.
#pragma once

#include <QMessageLogContext>
#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <vector>

namespace testenv {

struct RecordedLine {
  QtMsgType type;
  std::string category;
  std::string function;
  std::string message;
};

class LogRecorder {
 public:
  LogRecorder() {
    Current() = this;
    previous_ = qInstallMessageHandler(&LogRecorder::Handler);
  }
  ~LogRecorder() {
    qInstallMessageHandler(previous_);
    Current() = nullptr;
  }
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;

  // Every line so far, in order.
  std::vector<RecordedLine> Lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }
  std::vector<RecordedLine> Containing(const std::string& text) const {
    std::lock_guard guard(mutex_);
    std::vector<RecordedLine> out;
    for (const auto& line : lines_) {
      if (line.message.find(text) != std::string::npos) out.push_back(line);
    }
    return out;
  }
  std::size_t Count(const std::string& text) const { return Containing(text).size(); }

 private:
  static LogRecorder*& Current() {
    static LogRecorder* current = nullptr;
    return current;
  }
  static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    LogRecorder* self = Current();
    if (self == nullptr) return;
    std::lock_guard guard(self->mutex_);
    self->lines_.push_back({type, context.category ? context.category : "",
                            context.function ? context.function : "", message.toStdString()});
  }
  QtMessageHandler previous_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<RecordedLine> lines_;
};

}  // namespace testenv
