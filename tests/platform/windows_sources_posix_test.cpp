// Facilities whose source only Windows has: here each says so, and the
// layers above read this system's own sources instead.
#include <gtest/gtest.h>

#include "platform/display.h"
#include "platform/machine_facts.h"
#include "platform/session.h"
#include "platform/wlan.h"
#include "platform/wmi.h"

namespace {

constexpr platform::ErrorCode kNotSupported = 50;

TEST(WindowsSourcesTest, SayNotSupportedHere) {
  EXPECT_EQ(platform::display::ReadScreen().error(), kNotSupported);
  EXPECT_EQ(platform::machine::ReadSystemPowerStatus().error(), kNotSupported);
  EXPECT_EQ(platform::ReadRemoteSessionMetrics().error(), kNotSupported);
  EXPECT_EQ(platform::wlan::Client::Open().error(), kNotSupported);
  const platform::wmi::Answer antivirus = platform::wmi::QueryAntivirusDisplayNames();
  EXPECT_TRUE(antivirus.texts.empty());
  EXPECT_EQ(antivirus.error, kNotSupported);
  EXPECT_EQ(antivirus.failed_step, platform::wmi::Step::kInitialize);
}

}  // namespace
