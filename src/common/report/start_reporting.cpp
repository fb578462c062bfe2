#include "common/report/start_reporting.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/product_constants.h"
#include "base/system.h"
#include "common/report/reporter.h"
#include "sdk/skirra/skirra_client.h"

namespace {

constexpr const char* kSkirraAppKey = "0XNA71QDKE4RWTCF";
constexpr AppdataDirectoryType kSkirraAppdataDirectory = constants::kAppdataDatabases;
constexpr auto kDelayedProbeDelay = std::chrono::milliseconds(500);

// The common report parameters plug in here: the static ones are computed
// once now, the volatile ones are getters the SDK calls at each event.
void BuildStaticCommonParams(std::map<std::string, std::string>& params) {}
void BuildVolatileCommonParams(std::map<std::string, std::function<std::string()>>& getters) {}

void DelayedProbeThread() {
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(start + kDelayedProbeDelay);
  RunDelayedProbes();
}

}  // namespace

void RunDelayedProbes() {
  if (!base::system::IsWin7()) {
    // The virtualisation-state cache plugs in here.
  }
  // The graphics information update plugs in here.
}

void StartReporting() {
  MultiInst* inst = MultiInst::Instance();
  skirra::SkirraConfig config;
  config.app_key = kSkirraAppKey;
  config.app_type = 1;
  config.debug_mode = inst->GetSkirraDebugMode();
  config.data_directory =
      base::gstring::ToUtf8(inst->GetAppdataNimbrelDirectory(kSkirraAppdataDirectory, true));
  config.enable_spool = true;
  config.flush_interval_ms = 2000;

  std::map<std::string, std::string> params;
  BuildStaticCommonParams(params);
  std::map<std::string, std::function<std::string()>> getters;
  BuildVolatileCommonParams(getters);

  nimbrel_report::Reporter::Instance().Init(config, params, getters);

  // The slow probes wait until start-up is over; their values reach events
  // through the getters.
  static std::once_flag once;
  std::call_once(once, [] { std::thread(DelayedProbeThread).detach(); });
}
