// The Native Wi-Fi client against this machine's WLAN service.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/wlan.h"
#include "support/test_env.h"

namespace {

namespace wlan = platform::wlan;

TEST(WlanTest, ThisMachinesService) {
  auto client = wlan::Client::Open();
  ASSERT_TRUE(client) << client.error();
  ASSERT_TRUE(client->is_open());
  const auto interfaces = client->EnumInterfaces();
  ASSERT_TRUE(interfaces) << interfaces.error();
  for (const wlan::Interface& wlan_interface : *interfaces) {
    SCOPED_TRACE(wlan_interface.id);
    EXPECT_EQ(wlan_interface.id.size(), 38u);
    const auto ssid = client->CurrentSsid(wlan_interface.id);
    if (wlan_interface.connected()) {
      ASSERT_TRUE(ssid) << ssid.error();
      EXPECT_LE(ssid->size(), 32u);
    } else {
      EXPECT_FALSE(ssid);
    }
  }
  if (testenv::UnderWine()) {
    EXPECT_TRUE(interfaces->empty());
  }

  // Ids that are not a GUID never reach the service.
  for (const char* id : {"", "wlan0", "3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                         "{3F2504E0-4F89-11D3-9A0C-0305E82C3301"}) {
    EXPECT_EQ(client->CurrentSsid(id).error(), platform::kErrorInvalidParameter) << id;
  }
  // One it does not know is the service's to answer; Wine's has no such
  // question at all.
  const auto unknown = client->CurrentSsid("{3F2504E0-4F89-11D3-9A0C-0305E82C3301}");
  EXPECT_FALSE(unknown);
  if (testenv::UnderWine()) {
    EXPECT_EQ(unknown.error(), static_cast<platform::ErrorCode>(ERROR_CALL_NOT_IMPLEMENTED));
  }

  // Two sessions are two handles; closing one leaves the other.
  auto second = wlan::Client::Open();
  ASSERT_TRUE(second) << second.error();
  client->Close();
  EXPECT_EQ(client->EnumInterfaces().error(), platform::kErrorInvalidHandle);
  EXPECT_TRUE(second->EnumInterfaces());
}

}  // namespace
