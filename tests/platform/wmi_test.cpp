// The antivirus products as this system's management instrumentation lists
// them.
#include "platform/wmi.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace {

namespace wmi = platform::wmi;

TEST(WmiTest, ThisMachinesAntivirusProducts) {
  const wmi::Answer answer = wmi::QueryAntivirusDisplayNames();
  for (const std::string& name : answer.texts) EXPECT_FALSE(name.empty());
  EXPECT_EQ(answer.error == 0, answer.failed_step == wmi::Step::kNone);
#ifdef _WIN32
  // Wine's instrumentation has no Security Center namespace.
  if (testenv::UnderWine()) {
    EXPECT_TRUE(answer.texts.empty());
    EXPECT_EQ(answer.error, 0x8004100Eu);  // WBEM_E_INVALID_NAMESPACE
    EXPECT_EQ(answer.failed_step, wmi::Step::kConnect);
  }
#else
  EXPECT_TRUE(answer.texts.empty());
  EXPECT_EQ(answer.error, 50u);
  EXPECT_EQ(answer.failed_step, wmi::Step::kInitialize);
#endif
}

}  // namespace
