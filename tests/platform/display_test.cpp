// The screen snapshot as this system answers it.
#include "platform/display.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace {

TEST(DisplayTest, ThisMachinesScreen) {
  const auto screen = platform::display::ReadScreen();
#ifdef _WIN32
  ASSERT_TRUE(screen) << screen.error();
  EXPECT_GT(screen->width, 0);
  EXPECT_GT(screen->height, 0);
  // An interactive desktop always has a screen device context.
  ASSERT_TRUE(screen->caps);
  EXPECT_GT(screen->caps->logical_dpi_x, 0);
  EXPECT_GE(screen->caps->refresh_rate, 0);
  EXPECT_GT(screen->caps->width_mm, 0);
  EXPECT_GT(screen->caps->height_mm, 0);
#else
  EXPECT_EQ(screen.error(), 50u);
#endif
}

}  // namespace
