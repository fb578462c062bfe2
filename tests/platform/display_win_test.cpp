// The screen snapshot on Windows: taken on any thread, and the screen's
// device context given back every time.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/display.h"

namespace {

namespace display = platform::display;

bool Same(const display::Screen& a, const display::Screen& b) {
  if (a.width != b.width || a.height != b.height || a.caps.has_value() != b.caps.has_value()) {
    return false;
  }
  return !a.caps || (a.caps->refresh_rate == b.caps->refresh_rate &&
                     a.caps->logical_dpi_x == b.caps->logical_dpi_x &&
                     a.caps->width_mm == b.caps->width_mm && a.caps->height_mm == b.caps->height_mm);
}

// One test, as the first use of the desktop in a process is slow under Wine.
TEST(DisplayTest, SnapshotsOnAnyThreadGiveTheirDeviceContextBack) {
  const auto first = display::ReadScreen();
  ASSERT_TRUE(first) << first.error();
  EXPECT_GT(first->width, 0);
  EXPECT_GT(first->height, 0);
  // An interactive desktop always has a screen device context.
  ASSERT_TRUE(first->caps);
  EXPECT_GT(first->caps->logical_dpi_x, 0);
  EXPECT_GE(first->caps->refresh_rate, 0);
  EXPECT_GT(first->caps->width_mm, 0);
  EXPECT_GT(first->caps->height_mm, 0);

  // A process has a bounded number of GDI handles. With all but a few of
  // them taken, snapshots that each kept their device context would soon
  // come without caps.

  std::vector<HBRUSH> held;
  while (held.size() < 1000000) {
    HBRUSH brush = ::CreateSolidBrush(RGB(0, 0, 0));
    if (brush == nullptr) break;
    held.push_back(brush);
  }
  for (int i = 0; i < 200 && !held.empty(); ++i) {
    ::DeleteObject(held.back());
    held.pop_back();
  }
  int differing = 0;
  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i) {
      const auto again = display::ReadScreen();
      if (!again || !Same(*again, *first)) ++differing;
    }
  });
  worker.join();
  for (HBRUSH brush : held) ::DeleteObject(brush);
  EXPECT_EQ(differing, 0);
}

}  // namespace
