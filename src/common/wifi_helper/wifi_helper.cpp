#include "common/wifi_helper/wifi_helper.h"

#include <algorithm>
#include <ctime>

#include <fmt/format.h>

#include "base/cclog.h"
#include "base/gstring.h"

namespace wifi_helper {

namespace {

constexpr std::int64_t kRefreshSeconds = 3600;

}  // namespace

std::string SsidText(const std::string& raw) {
  const std::string_view bytes(raw.data(), std::min(raw.size(), kMaxSsidLength));
  return base::gstring::ToUtf8(base::gstring::FromUtf8(bytes));
}

WifiRecord::WifiRecord(SourceFactory factory, Clock now)
    : factory_(std::move(factory)), now_(std::move(now)) {}

WifiRecord& WifiRecord::Instance() {
  // Read by report getters on any thread until the process ends.
  static WifiRecord* const record = new WifiRecord(
      [] { return MakeWlanSource(); },
      [] { return static_cast<std::int64_t>(std::time(nullptr)); });
  return *record;
}

void WifiRecord::RefreshWifiInfo() {
  std::lock_guard lock(mutex_);
  const std::int64_t now = now_();
  // A clock set back counts as stale too, or the record would freeze until
  // the clock caught up again.
  if (refreshed_ && now >= last_refresh_ && now - last_refresh_ <= kRefreshSeconds) return;
  refreshed_ = true;
  last_refresh_ = now;

  std::unique_ptr<WlanSource> source = factory_ ? factory_() : nullptr;
  if (!source) return;
  if (const std::uint32_t error = source->Open(); error != 0) {
    CCLOG_ERROR("RefreshWifiInfo", fmt::format("WlanOpenHandle failed with error: {}", error));
    return;
  }
  std::vector<WlanInterface> interfaces;
  if (const std::uint32_t error = source->EnumInterfaces(&interfaces); error != 0) {
    CCLOG_ERROR("RefreshWifiInfo", fmt::format("WlanEnumInterfaces failed with error: {}", error));
    source->Close();
    return;
  }
  for (const WlanInterface& wlan_interface : interfaces) {
    if (!wlan_interface.connected) continue;
    std::string raw;
    if (const std::uint32_t error = source->QueryCurrentSsid(wlan_interface, &raw); error != 0) {
      CCLOG_ERROR("RefreshWifiInfo", fmt::format("WlanQueryInterface failed with error: {}", error));
      continue;
    }
    ssid_ = SsidText(raw);  // a later connected interface wins
  }
  source->Close();
}

std::string WifiRecord::Ssid() {
  RefreshWifiInfo();
  std::lock_guard lock(mutex_);
  return ssid_;
}

std::string GetWifiSsid() { return WifiRecord::Instance().Ssid(); }

}  // namespace wifi_helper
