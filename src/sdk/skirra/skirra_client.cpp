#include "sdk/skirra/skirra_client.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "sdk/skirra/spool_file.h"

namespace skirra {
namespace {

using Params = SkirraClient::Params;
using Getters = SkirraClient::Getters;

struct State {
  std::mutex mutex;
  bool initialised = false;
  SkirraConfig config;
  // Shared snapshots so a report evaluates the getters without the lock.
  std::shared_ptr<const Params> common = std::make_shared<Params>();
  std::shared_ptr<const Getters> getters = std::make_shared<Getters>();
  SpoolFile spool;
  std::filesystem::path spool_path;
  std::uint64_t seq = 0;
  std::atomic<std::uint64_t> written{0};
  std::atomic<std::uint64_t> dropped{0};
};

// Never destroyed: reports may still arrive from threads that outlive static
// destruction at process exit, and must find a valid (uninitialised) SDK.
State& TheState() {
  static State* state = new State;
  return *state;
}

std::string NowUtc() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day ymd{day};
  const hh_mm_ss hms{now - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  return text;
}

std::string CallGetter(const std::function<std::string()>& getter) {
  if (!getter) return {};
  try {
    return getter();
  } catch (...) {
    // A broken probe must not cost the event.
    return {};
  }
}

}  // namespace

void SkirraClient::InitSDK(const SkirraConfig& config) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.spool.SyncAndClose();
  s.config = config;
  s.common = std::make_shared<Params>();
  s.getters = std::make_shared<Getters>();
  s.seq = 0;
  s.spool_path.clear();
  if (!config.data_directory.empty()) {
    // On POSIX a narrow path is the bytes themselves: UTF-8 stays UTF-8.
    std::filesystem::path path = std::filesystem::path(config.data_directory) / kSpoolFileName;
    if (config.enable_spool && s.spool.Open(path)) s.spool_path = std::move(path);
  }
  s.initialised = true;
}

void SkirraClient::set_common_params(const Params& params) {
  auto copy = std::make_shared<const Params>(params);
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.common = std::move(copy);
}

void SkirraClient::set_common_param_getters(const Getters& getters) {
  auto copy = std::make_shared<const Getters>(getters);
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.getters = std::move(copy);
}

void SkirraClient::Report(const std::string& event, const Params& params,
                          Skirra::RequestPriority priority, const std::string& extra) {
  State& s = TheState();
  std::shared_ptr<const Params> common;
  std::shared_ptr<const Getters> getters;
  {
    std::lock_guard lock(s.mutex);
    if (!s.initialised || !s.spool.IsOpen()) {
      s.dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    common = s.common;
    getters = s.getters;
  }

  // The getters may be slow (registry, probes): they run without the lock.
  nlohmann::ordered_json body;
  body["event"] = event;
  body["time"] = NowUtc();
  body["pid"] = CurrentProcessId();
  body["params"] = nlohmann::json(params);
  body["common"] = nlohmann::json(*common);
  nlohmann::json volatile_values = nlohmann::json::object();
  for (const auto& [key, getter] : *getters) volatile_values[key] = CallGetter(getter);
  body["volatile"] = std::move(volatile_values);
  body["priority"] = static_cast<int>(priority);
  body["extra"] = extra;
  // Replace rather than throw: a line must stay valid JSON whatever the input.
  std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

  std::lock_guard lock(s.mutex);
  if (!s.initialised || !s.spool.IsOpen()) {
    s.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // The sequence number is taken under the lock that orders the writes, so
  // within one process the file order is the sequence order.
  std::string line = "{\"seq\":" + std::to_string(++s.seq) + ",";
  line.append(text, 1, std::string::npos);
  line.push_back('\n');
  if (s.spool.Append(line)) {
    s.written.fetch_add(1, std::memory_order_relaxed);
  } else {
    s.dropped.fetch_add(1, std::memory_order_relaxed);
  }
}

void SkirraClient::UninitSDK() {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  s.spool.SyncAndClose();
  s.spool_path.clear();
  s.common = std::make_shared<Params>();
  s.getters = std::make_shared<Getters>();
  s.initialised = false;
}

std::filesystem::path SkirraClient::SpoolPath() {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  return s.spool_path;
}

std::uint64_t SkirraClient::WrittenCount() { return TheState().written.load(); }
std::uint64_t SkirraClient::DroppedCount() { return TheState().dropped.load(); }

}  // namespace skirra
