#include "support/spool.h"

#include <QString>

#include <atomic>
#include <fstream>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "common/report/reporter.h"
#include "sdk/skirra/skirra_client.h"

namespace testenv {

SpoolReporter::SpoolReporter() {
  nimbrel_report::Reporter::SetDebugModeForTesting(false);
  skirra::SkirraConfig config;
  config.data_directory =
      base::gstring::ToUtf8(MultiInst::Instance()->GetAppdataNimbrelDirectory(4, true));
  auto& reporter = nimbrel_report::Reporter::Instance();
  reporter.Init(config, {}, {});
  // Without a worker every event is written before Report returns.
  reporter.TakeWorker().reset();
}

SpoolReporter::~SpoolReporter() {
  nimbrel_report::Reporter::Instance().ResetForTesting();
  skirra::SkirraClient::UninitSDK();
  nimbrel_report::Reporter::SetDebugModeForTesting(std::nullopt);
}

std::filesystem::path SpoolPath() {
  return base::gstring::ToPath(MultiInst::Instance()->GetAppdataNimbrelDirectory(4, false)) /
         skirra::kSpoolFileName;
}

std::vector<nlohmann::json> ReadSpoolEvents(const std::string& event) {
  std::vector<nlohmann::json> out;
  std::ifstream in(SpoolPath(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) continue;
    if (!event.empty() && parsed.value("event", std::string()) != event) continue;
    out.push_back(std::move(parsed));
  }
  return out;
}

std::vector<std::map<std::string, std::string>> ReadEventParams(const std::string& event) {
  std::vector<std::map<std::string, std::string>> out;
  for (const auto& line : ReadSpoolEvents(event)) {
    std::map<std::string, std::string> params;
    if (auto it = line.find("params"); it != line.end() && it->is_object()) {
      for (const auto& [key, value] : it->items()) {
        params[key] = value.is_string() ? value.get<std::string>() : value.dump();
      }
    }
    out.push_back(std::move(params));
  }
  return out;
}

namespace {
std::atomic<LogCapture*> g_capture{nullptr};
}

LogCapture::LogCapture() {
  g_capture.store(this);
  previous_ = qInstallMessageHandler(&LogCapture::Handler);
}

LogCapture::~LogCapture() {
  qInstallMessageHandler(previous_);
  g_capture.store(nullptr);
}

void LogCapture::Handler(QtMsgType type, const QMessageLogContext& context,
                         const QString& message) {
  LogCapture* capture = g_capture.load();
  if (capture == nullptr) return;
  std::lock_guard lock(capture->mutex_);
  capture->lines_.push_back(
      Line{type, context.category ? context.category : "", message.toStdString()});
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<LogCapture::Line> LogCapture::Find(const std::string& text,
                                               const std::string& category) const {
  std::vector<Line> out;
  for (const auto& line : Lines()) {
    if (!category.empty() && line.category != category) continue;
    if (line.message.find(text) != std::string::npos) out.push_back(line);
  }
  return out;
}

std::vector<LogCapture::Line> LogCapture::StartingWith(const std::string& text) const {
  std::vector<Line> out;
  for (const auto& line : Lines()) {
    if (line.message.rfind(text, 0) == 0) out.push_back(line);
  }
  return out;
}

void LogCapture::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace testenv
