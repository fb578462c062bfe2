// Reading back what the code under test reported: analytics events from the
// SDK's spool file, and Qt log lines.
#pragma once

#include <QtGlobal>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testenv {

// The reporter set up on the current product home with every event sent
// synchronously (no worker), so the spool is complete as soon as Report
// returns. Construct it after the ProductHome; it is reset on destruction.
class SpoolReporter {
 public:
  SpoolReporter();
  ~SpoolReporter();
  SpoolReporter(const SpoolReporter&) = delete;
  SpoolReporter& operator=(const SpoolReporter&) = delete;
};

// <appdata directory 4>/events.jsonl of the current product home.
std::filesystem::path SpoolPath();

// Every spool line (parsed) whose "event" is `event` (all lines when empty),
// in file order. Lines that do not parse are skipped.
std::vector<nlohmann::json> ReadSpoolEvents(const std::string& event = {});

// The "params" object of each such event as a map of strings.
std::vector<std::map<std::string, std::string>> ReadEventParams(const std::string& event);

// Captures every Qt log message while alive (replaces the message handler).
class LogCapture {
 public:
  struct Line {
    QtMsgType type;
    std::string category;
    std::string message;
  };

  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const;
  // Messages (optionally only of `category`) that contain `text`.
  std::vector<Line> Find(const std::string& text, const std::string& category = {}) const;
  // Messages that begin with `text`.
  std::vector<Line> StartingWith(const std::string& text) const;
  void Clear();

 private:
  static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  QtMessageHandler previous_ = nullptr;
};

}  // namespace testenv
