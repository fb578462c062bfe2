#include "common/report/params/start_reporting.h"

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
#include "common/core/logic/hardware_detect/graphic_info_detector.h"
#include "common/report/params/common_params.h"
#include "common/report/reporter.h"
#include "sdk/skirra/skirra_client.h"

namespace {

constexpr const char* kSkirraAppKey = "0XNA71QDKE4RWTCF";
constexpr AppdataDirectoryType kSkirraAppdataDirectory = constants::kAppdataDatabases;
constexpr auto kDelayedProbeDelay = std::chrono::milliseconds(500);

void DelayedProbeThread() {
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(start + kDelayedProbeDelay);
  RunDelayedProbes();
}

}  // namespace

void RunDelayedProbes() {
  if (!base::system::IsWin7()) {
    param::CacheVirtualizationState();
  }
  GraphicInfoDetector::Instance().Update(false, false);
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
  param::InitStaticParams(params);
  std::map<std::string, std::function<std::string()>> getters;
  param::InitVolatileParams(getters);

  nimbrel_report::Reporter::Instance().Init(config, params, getters);

  // The slow probes wait until start-up is over; their values reach events
  // through the getters.
  static std::once_flag once;
  std::call_once(once, [] { std::thread(DelayedProbeThread).detach(); });
}
