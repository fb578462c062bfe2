// The helper under a real X server with a chosen screen size and DPI: the
// launcher's default clarity and density come from that screen and reach
// Configs.db, and its guest file is written from the same documents.
#include <gtest/gtest.h>

#include "support/child.h"
#include "support/xserver.h"
#include "update/src/config_refresh/refresh_harness.h"

namespace {

namespace fs = std::filesystem;

struct ScreenCase {
  int width, height, dpi;
  int clarity, density;
};

class ScreenRefreshTest : public testenv::ProductTest, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(ScreenRefreshTest, ClarityAndDensityFromTheScreen) {
  if (!testenv::XServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  const ScreenCase& c = GetParam();
  testenv::XServer x;
  ASSERT_TRUE(x.Start(c.width, c.height, c.dpi));

  // The service sends the launcher's documents; its host document has no
  // density of its own, and the user has stored choices.
  testenv::ConfigService::Options options;
  options.docs = home() / "service" / "docs";
  options.state_dir = home() / "service" / "state";
  auto service = testenv::ConfigService::Start(options);
  ASSERT_TRUE(service);
  service->UseInSandbox();
  const std::string launcher = "com.morvath.launcher";
  refresh::Documents docs = refresh::DocumentsFor(launcher);
  docs["appconfigjson"] = R"({"rotation":0})";
  docs["configfile"] = R"({"multipane":{"enable":"true"}})";
  for (const auto& [kind, text] : docs) testenv::WriteServiceDocument(options.docs, launcher, kind, text);
  refresh::StoreRow(home(), "nimbrel.com.morvath.launcher.local_user_config", R"({"volume":3})");

  // On that display, whichever platform the test program itself uses.
  testenv::ChildOptions helper;
  helper.environment =
      testenv::EnvironmentWith({"QT_QPA_PLATFORM", "DISPLAY=:" + std::to_string(x.display())});
  ASSERT_EQ(testenv::RunBuiltHelper(helper), 0u);

  const auto local = testenv::ConfigValue(home(), "nimbrel.com.morvath.launcher.local_user_config");
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(*local, R"({"clarity":)" + std::to_string(c.clarity) + R"(,"volume":3})");
  // The host document is stored with the launcher's defaults: its size and
  // the density of that clarity.
  EXPECT_EQ(testenv::ConfigValue(home(), "nimbrel.com.morvath.launcher.host_config"),
            std::optional<std::string>(R"({"dpi":)" + std::to_string(c.density) +
                                       R"(,"resolution":[320,480],"rotation":0})"));
  const auto lines = refresh::LogLines(home());
  EXPECT_EQ(refresh::CountLines(lines, "call GetAppHostConfig, return empty, package_name=com.morvath.launcher"), 2u);
  EXPECT_EQ(testenv::ReadFile(testenv::GuestFile(home(), launcher)),
            R"({"multipane":{"dragBar":"false","enable":"false","orientation":0,"ratio":"0.5"}})");
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenRefreshTest,
                         ::testing::Values(ScreenCase{2880, 1620, 144, 3, 310},   // 150 %
                                           ScreenCase{1920, 1080, 96, 4, 260},    // 100 %
                                           ScreenCase{3840, 2160, 192, 3, 310}),  // 200 %
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                  "at" + std::to_string(info.param.dpi);
                         });

}  // namespace
