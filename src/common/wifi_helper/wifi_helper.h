// The name (SSID) of the Wi-Fi network this machine is connected to, asked of
// the WLAN service at most once an hour because the report parameters read it
// often and the service is slow.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wifi_helper {

struct WlanInterface {
  std::string id;  // the service's name for the interface
  bool connected = false;
};

// The machine's WLAN service, step by step. Every step answers 0 or a
// Windows error number.
class WlanSource {
 public:
  virtual ~WlanSource() = default;
  virtual std::uint32_t Open() = 0;
  virtual std::uint32_t EnumInterfaces(std::vector<WlanInterface>* interfaces) = 0;
  // The raw SSID bytes of the interface's current connection.
  virtual std::uint32_t QueryCurrentSsid(const WlanInterface& wlan_interface, std::string* ssid) = 0;
  virtual void Close() = 0;
};

// This machine's WLAN service: the Native Wi-Fi service on Windows,
// NetworkManager elsewhere.
std::unique_ptr<WlanSource> MakeWlanSource();

#ifndef _WIN32
// NetworkManager on the system bus, or on the bus at `bus_address` when one
// is given. Calls are bounded by `timeout_ms` each.
std::unique_ptr<WlanSource> MakeNetworkManagerSource(const std::string& bus_address = {},
                                                     int timeout_ms = 2000);
#endif

// Longest SSID a network can have; longer answers are cut.
inline constexpr std::size_t kMaxSsidLength = 32;

class WifiRecord {
 public:
  using SourceFactory = std::function<std::unique_ptr<WlanSource>()>;
  using Clock = std::function<std::int64_t()>;  // seconds

  WifiRecord(SourceFactory factory, Clock now);
  static WifiRecord& Instance();

  // Asks the service again when the last refresh is more than an hour old;
  // failures go to the product's formatted log and keep the earlier SSID.
  void RefreshWifiInfo();
  std::string Ssid();  // refreshes, then copies

 private:
  SourceFactory factory_;
  Clock now_;
  std::mutex mutex_;
  std::string ssid_;
  std::int64_t last_refresh_ = 0;
  bool refreshed_ = false;
};

// The SSID as UTF-8: invalid sequences become U+FFFD, at most 32 bytes read.
std::string SsidText(const std::string& raw);

std::string GetWifiSsid();

}  // namespace wifi_helper
