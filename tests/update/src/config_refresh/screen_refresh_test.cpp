// The helper under a real X server with a chosen screen size and DPI: the
// launcher's default clarity and density come from that screen and reach
// Configs.db, and its guest file is written from the same documents.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <unistd.h>

#include "support/standins.h"
#include "update/src/config_refresh/refresh_harness.h"

namespace {

namespace fs = std::filesystem;

const fs::path kXvfb = "/usr/bin/Xvfb";

// An X server on a free display of this machine, ended with the test.
class XServer {
 public:
  ~XServer() {
    process_.Stop();
    // Killed outright, the server leaves its lock and socket behind.
    if (display_ >= 0) {
      std::error_code ec;
      fs::remove("/tmp/.X" + std::to_string(display_) + "-lock", ec);
      fs::remove("/tmp/.X11-unix/X" + std::to_string(display_), ec);
    }
  }
  bool Start(int width, int height, int dpi) {
    for (int n = 90 + ::getpid() % 400; n < 1000; ++n) {
      if (fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      platform::LaunchRequest request;
      request.file = kXvfb;
      request.parameters = L":" + std::to_wstring(n) + L" -screen 0 " + std::to_wstring(width) + L"x" +
                           std::to_wstring(height) + L"x24 -dpi " + std::to_wstring(dpi) + L" -nolisten tcp";
      request.want_handle = true;
      platform::ProcessHandle handle;
      if (platform::Launch(request, &handle) != 0) return false;
      process_ = testenv::StandinProcess(std::move(handle), 0, kXvfb);
      // Ready once its socket exists; a server that lost the race for the
      // display ends, and the next display is tried.
      const fs::path socket = "/tmp/.X11-unix/X" + std::to_string(n);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (std::chrono::steady_clock::now() < deadline && process_.Running()) {
        if (fs::exists(socket)) {
          display_ = n;
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      process_.Stop();
    }
    return false;
  }
  int display() const { return display_; }

 private:
  testenv::StandinProcess process_;
  int display_ = -1;
};

// Runs the helper on `display`, whichever platform the test program itself uses.
std::uint32_t RunHelperOnDisplay(int display) {
  platform::LaunchRequest request;
  request.file = "/usr/bin/env";
  request.parameters = L"-u QT_QPA_PLATFORM DISPLAY=:" + std::to_wstring(display) + L" \"" +
                       base::gstring::FromPath(testenv::BinDir() / "QuarrionUpdate.exe") + L"\"";
  request.want_handle = true;
  platform::ProcessHandle handle;
  EXPECT_EQ(platform::Launch(request, &handle), 0u);
  if (!handle) return 1;
  if (platform::WaitForProcess(handle.get(), 120000) != platform::kWaitObject0) {
    platform::TerminateProcess(handle.get(), 1);
    return 1;
  }
  std::uint32_t code = platform::kStillActive;
  platform::GetExitCode(handle.get(), &code);
  return code;
}

struct ScreenCase {
  int width, height, dpi;
  int clarity, density;
};

class ScreenRefreshTest : public testenv::ProductTest, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(ScreenRefreshTest, ClarityAndDensityFromTheScreen) {
  if (!fs::exists(kXvfb)) GTEST_SKIP() << "Xvfb is not installed";
  const ScreenCase& c = GetParam();
  XServer x;
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

  ASSERT_EQ(RunHelperOnDisplay(x.display()), 0u);

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
