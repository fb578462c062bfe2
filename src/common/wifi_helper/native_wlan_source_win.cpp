// The WLAN service on Windows: the Native Wi-Fi client of the platform, an
// interface named by its GUID.
#include "common/wifi_helper/wifi_helper.h"
#include "platform/wlan.h"

namespace wifi_helper {

namespace {

class NativeWlanSource : public WlanSource {
 public:
  std::uint32_t Open() override {
    auto client = platform::wlan::Client::Open();
    if (!client) return client.error();
    client_ = std::move(client).value();
    return 0;
  }

  std::uint32_t EnumInterfaces(std::vector<WlanInterface>* out) override {
    const auto interfaces = client_.EnumInterfaces();
    if (!interfaces) return interfaces.error();
    for (const platform::wlan::Interface& wlan_interface : *interfaces) {
      out->push_back({wlan_interface.id, wlan_interface.connected()});
    }
    return 0;
  }

  std::uint32_t QueryCurrentSsid(const WlanInterface& wlan_interface, std::string* ssid) override {
    auto bytes = client_.CurrentSsid(wlan_interface.id);
    if (!bytes) return bytes.error();
    *ssid = std::move(bytes).value();
    return 0;
  }

  void Close() override { client_.Close(); }

 private:
  platform::wlan::Client client_;
};

}  // namespace

std::unique_ptr<WlanSource> MakeWlanSource() { return std::make_unique<NativeWlanSource>(); }

}  // namespace wifi_helper
