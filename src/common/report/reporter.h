// The process's single analytics entry point. Events raised on the thread
// that initialised the reporter are queued to one worker thread, so the main
// sequence never waits for the SDK; events from any other thread, or after
// the worker has been taken away at shutdown, are sent on the raising thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/report/task_pool.h"
#include "sdk/skirra/skirra_client.h"

namespace nimbrel_report {

class Reporter {
 public:
  using Params = std::map<std::string, std::string>;
  using Getters = std::map<std::string, std::function<std::string()>>;

  static Reporter& Instance();

  // Once, at start-up, on the main thread: sets up the SDK with the common
  // parameters and starts the worker (replacing and draining a previous one).
  void Init(const skirra::SkirraConfig& config, const Params& params, const Getters& getters);
  // Never fails towards the caller; dropped before Init.
  void Report(const std::string& event, const Params& params, bool unused = true);
  // The synchronous path: debug log line, then the SDK.
  void SendNow(const std::string& event, const Params& params);
  // Shutdown: hands the worker over (the reporter keeps null). Destroying it
  // sends every queued event.
  std::unique_ptr<TaskPool> TakeWorker();

  // The analytics debug mode is read once per process; tests pin it here
  // (nullopt goes back to the product setting).
  static void SetDebugModeForTesting(std::optional<bool> mode);
  // Back to the state before Init (the worker is drained first).
  void ResetForTesting();

  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

 private:
  Reporter() = default;

  std::mutex mutex_;  // guards the maps and the worker pointer
  Params common_params_;
  Getters common_param_getters_;
  std::atomic<std::uint32_t> init_thread_id_{0};
  std::unique_ptr<TaskPool> worker_;
};

// The analytics debug line: "[SkirraReportLog][Event]<event>, [Param]<json>"
// with the parameters as compact JSON in key order, or "UNKNOWN" when they
// cannot be serialised. Written only in analytics debug mode.
void WriteReportLog(const std::string& event, const std::map<std::string, std::string>& params);
// The line itself, whatever the mode (exposed for tests and tools).
std::string FormatReportLogLine(const std::string& event,
                                const std::map<std::string, std::string>& params);

}  // namespace nimbrel_report
