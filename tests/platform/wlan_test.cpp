// The Native Wi-Fi client: no question is answered without a session.
#include "platform/wlan.h"

#include <gtest/gtest.h>

namespace {

namespace wlan = platform::wlan;

const char kSomeGuid[] = "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}";

TEST(WlanTest, AClientWithoutASessionAnswersInvalidHandle) {
  wlan::Client never_opened;
  wlan::Client closed;
  closed.Close();
  for (const wlan::Client* client : {&never_opened, &closed}) {
    EXPECT_FALSE(client->is_open());
    EXPECT_EQ(client->EnumInterfaces().error(), platform::kErrorInvalidHandle);
    EXPECT_EQ(client->CurrentSsid(kSomeGuid).error(), platform::kErrorInvalidHandle);
  }
}

}  // namespace
