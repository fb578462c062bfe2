#include "common/report/reporter.h"

#include <nlohmann/json.hpp>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "common/log/adapted_log.h"
#include "platform/diagnostics.h"
#include "qtbaseex/log/categories.h"

namespace nimbrel_report {
namespace {

// A small non-zero number per thread: 0 means "not initialised".
std::uint32_t CurrentThreadId() {
  static std::atomic<std::uint32_t> next{1};
  thread_local const std::uint32_t id = next.fetch_add(1);
  return id;
}

// -1: follow the product setting; 0/1: pinned by a test.
std::atomic<int> g_debug_mode_override{-1};

bool SkirraDebugMode() {
  const int pinned = g_debug_mode_override.load();
  if (pinned >= 0) return pinned != 0;
  static const bool mode = MultiInst::Instance()->GetSkirraDebugMode();
  return mode;
}

}  // namespace

Reporter& Reporter::Instance() {
  // The reporter's destructor may still drain events at exit and log them:
  // the log category is created first so that it is destroyed after it.
  static Reporter& reporter = []() -> Reporter& {
    lc_main_controller();
    static Reporter instance;
    return instance;
  }();
  return reporter;
}

Reporter::~Reporter() {
  std::unique_ptr<TaskPool> worker;
  {
    std::lock_guard lock(mutex_);
    worker = std::move(worker_);
  }
  worker.reset();
}

void Reporter::Init(const skirra::SkirraConfig& config, const Params& params,
                    const Getters& getters) {
  skirra::SkirraClient::InitSDK(config);
  std::unique_ptr<TaskPool> previous;
  {
    std::lock_guard lock(mutex_);
    common_params_ = params;
    common_param_getters_ = getters;
  }
  skirra::SkirraClient::set_common_params(params);
  skirra::SkirraClient::set_common_param_getters(getters);
  auto worker = std::make_unique<TaskPool>(std::string(), 1);
  {
    std::lock_guard lock(mutex_);
    previous = std::move(worker_);
    worker_ = std::move(worker);
  }
  // Drained outside the lock: its tasks send through this reporter.
  previous.reset();
  init_thread_id_.store(CurrentThreadId());
}

void Reporter::Report(const std::string& event, const Params& params, bool) {
  const std::uint32_t init_thread = init_thread_id_.load();
  if (init_thread == 0) return;
  if (init_thread == CurrentThreadId()) {
    std::lock_guard lock(mutex_);
    if (worker_) {
      // The task owns its copies; the caller's may be gone when it runs.
      worker_->Enqueue([this, event, params] { SendNow(event, params); });
      return;
    }
  }
  SendNow(event, params);
}

void Reporter::SendNow(const std::string& event, const Params& params) {
  WriteReportLog(event, params);
  skirra::SkirraClient::Report(event, params, Skirra::kPriorityNormal, std::string());
}

std::unique_ptr<TaskPool> Reporter::TakeWorker() {
  std::lock_guard lock(mutex_);
  return std::move(worker_);
}

void Reporter::SetDebugModeForTesting(std::optional<bool> mode) {
  g_debug_mode_override.store(mode ? (*mode ? 1 : 0) : -1);
}

void Reporter::ResetForTesting() {
  TakeWorker().reset();
  init_thread_id_.store(0);
  std::lock_guard lock(mutex_);
  common_params_.clear();
  common_param_getters_.clear();
}

std::string FormatReportLogLine(const std::string& event,
                                const std::map<std::string, std::string>& params) {
  // Values pass through the wide form once, which replaces invalid UTF-8;
  // keys are left as they are.
  std::map<std::string, std::string> normalised = params;
  for (auto& [key, value] : normalised) value = base::gstring::ToUtf8(base::gstring::FromUtf8(value));
  std::string json_text;
  try {
    json_text = nlohmann::json(normalised).dump(-1, ' ', false,
                                                nlohmann::json::error_handler_t::strict);
  } catch (...) {
    json_text = "UNKNOWN";
  }
  return "[SkirraReportLog][Event]" + event + ", [Param]" + json_text;
}

void WriteReportLog(const std::string& event, const std::map<std::string, std::string>& params) {
  if (!SkirraDebugMode()) return;
  const std::string line = FormatReportLogLine(event, params);
  platform::diagnostics::DebuggerOutput(base::gstring::FromUtf8(line));
  common::WriteToLog(lc_main_controller, "{}", line);
}

}  // namespace nimbrel_report
