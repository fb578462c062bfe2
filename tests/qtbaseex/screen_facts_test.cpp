// Screen facts are a real display's or none: the headless platforms' made-up
// screen (which this test program runs on) is no screen.
#include "qtbaseex/monitor/screen_facts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QScreen>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/session.h"
#include "qtbaseex/helpers.h"
#include "support/child.h"
#include "support/test_env.h"
#include "support/xserver.h"

namespace {

namespace fs = std::filesystem;
namespace monitor = qtbaseex::monitor;

TEST(ScreenPlatforms, OnlyPlatformsThatShowADisplayAreReal) {
  const std::pair<const char*, bool> cases[] = {
      {"offscreen", false}, {"OffScreen", false},   {"offscreen:fontconfig", false},
      {"minimal", false},   {"", false},            {"xcb", true},
      {"wayland", true},    {"wayland-egl", true},  {"minimalegl", true},
      {"eglfs", true},
  };
  for (const auto& [name, real] : cases) {
    EXPECT_EQ(monitor::IsRealScreenPlatform(QString::fromLatin1(name)), real) << name;
  }
}

TEST(ScreenFacts, TheHeadlessPlatformsScreenIsNoScreen) {
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
  const QScreen* made_up = QGuiApplication::primaryScreen();
  ASSERT_NE(made_up, nullptr);
  ASSERT_GT(made_up->geometry().width(), 0);  // what would otherwise be reported
  ASSERT_GT(made_up->physicalSize().width(), 0);

  EXPECT_EQ(monitor::RealPrimaryScreen(), nullptr);
  EXPECT_FALSE(monitor::ReadPrimaryScreen().has_value());
  const monitor::ScreenFacts facts = monitor::GetPrimaryScreenFacts();
  EXPECT_EQ(facts.width, 0);
  EXPECT_EQ(facts.height, 0);
  EXPECT_EQ(facts.logical_dpi, 0);
  EXPECT_EQ(facts.refresh_rate, 0.0);
  EXPECT_EQ(monitor::GetPrimaryScreenWidth(), 0);
  EXPECT_EQ(monitor::GetScreenLogicalDpiX(), 0);
  EXPECT_EQ(monitor::GetScreenPhysicalInch(), 0.0);
}

// On the X display the test names: the application is made again on xcb and
// the facts are written out, the inch beside Qt's own physical size.
TEST(ChildBehaviour, WriteScreenFactsOnX) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by ScreenFacts.ARealDisplay...";
  const auto out = platform::ReadEnvironmentVariable("QUARRION_TEST_OUT");
  if (!out) std::_Exit(3);
  delete QCoreApplication::instance();
  static int argc = 3;
  static char arg0[] = "screen", arg1[] = "-platform", arg2[] = "xcb";
  static char* argv[] = {arg0, arg1, arg2, nullptr};
  new QGuiApplication(argc, argv);
  const auto facts = monitor::ReadPrimaryScreen();
  if (!facts) std::_Exit(4);
  const QSizeF mm = QGuiApplication::primaryScreen()->physicalSize();
  std::ofstream(*out) << QGuiApplication::platformName().toStdString() << ' ' << facts->width << ' '
                      << facts->height << ' ' << facts->logical_dpi << ' ' << facts->refresh_rate
                      << ' ' << facts->physical_inch << ' ' << monitor::GetScreenPhysicalInch()
                      << ' ' << std::hypot(mm.width(), mm.height()) / 25.4;
  std::_Exit(0);
}

TEST(ScreenFacts, ARealDisplaysFactsAreItsOwn) {
  if (!testenv::XServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  testenv::XServer x;
  ASSERT_TRUE(x.Start(1600, 900, 144));
  const fs::path out = fs::temp_directory_path() / ("quarrion-screen-" + std::to_string(::getpid()));
  testenv::ChildOptions options;
  options.environment = testenv::EnvironmentWith(
      {"DISPLAY=:" + std::to_string(x.display()), "QUARRION_TEST_OUT=" + out.string()});
  testenv::Child child = testenv::StartBehaviour("WriteScreenFactsOnX", options);
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
  std::istringstream in(testenv::ReadFile(out));
  fs::remove(out);
  std::string platform_name;
  int width = 0, height = 0, dpi = 0;
  double rate = 0, inch = 0, helper_inch = 0, qt_inch = 0;
  ASSERT_TRUE(in >> platform_name >> width >> height >> dpi >> rate >> inch >> helper_inch >> qt_inch);
  EXPECT_EQ(platform_name, "xcb");
  EXPECT_EQ(width, 1600);
  EXPECT_EQ(height, 900);
  EXPECT_EQ(dpi, 144);
  EXPECT_GT(rate, 0.0);
  EXPECT_GT(qt_inch, 0.0);
  EXPECT_NEAR(inch, qt_inch, 1e-3);
  EXPECT_NEAR(helper_inch, qt_inch, 1e-3);
}

}  // namespace
