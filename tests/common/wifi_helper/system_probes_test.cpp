// Screen, memory, power, remote-desktop and security-software probes.
#include <gtest/gtest.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <thread>

#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/wifi_helper/system_probes.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace sp = system_probes;

namespace {

std::optional<sp::ScreenFacts> Screen(int w, int h, double rate, double dpi, double wmm, double hmm) {
  return sp::ScreenFacts{w, h, rate, dpi, wmm, hmm};
}

TEST(ScreenTexts, FromFacts) {
  EXPECT_EQ(sp::ResolutionText(Screen(1920, 1080, 60, 96, 0, 0)), "1920x1080");
  EXPECT_EQ(sp::ResolutionText(std::nullopt), "0x0");
  EXPECT_EQ(sp::RefreshRateText(Screen(0, 0, 59.94, 96, 0, 0)), "60");
  EXPECT_EQ(sp::RefreshRateText(Screen(0, 0, 144, 96, 0, 0)), "144");
  EXPECT_EQ(sp::RefreshRateText(std::nullopt), "");
  EXPECT_EQ(sp::RefreshRateText(Screen(0, 0, std::nan(""), 96, 0, 0)), "0");

  const std::pair<double, const char*> dpis[] = {
      {120, "1.25"}, {96, "1.00"}, {144, "1.50"}, {168, "1.75"}, {0, "0.00"}, {-5, "0.00"}};
  for (const auto& [dpi, want] : dpis) EXPECT_EQ(sp::DpiText(L"", Screen(1, 1, 60, dpi, 0, 0)), want);
  EXPECT_EQ(sp::DpiText(L"", std::nullopt), "0.00");
  EXPECT_EQ(sp::DpiText(L"1.5", Screen(1, 1, 60, 120, 0, 0)), "1.5");  // the stored text wins

  EXPECT_EQ(sp::ScreenInchText(Screen(1, 1, 60, 96, 344, 194)), "15.5");
  EXPECT_EQ(sp::ScreenInchText(Screen(1, 1, 60, 96, 527, 296)), "23.8");
  EXPECT_EQ(sp::ScreenInchText(Screen(1, 1, 60, 96, 0, 0)), "0.0");
  EXPECT_EQ(sp::ScreenInchText(std::nullopt), "-1");
  EXPECT_EQ(sp::ScreenInchText(Screen(1, 1, 60, 96, std::numeric_limits<double>::infinity(), 1e300)),
            "0.0");
}

class ScreenProbeTest : public testenv::ProductTest {};

// This program runs on the offscreen platform, whose screen is made up: no
// screen device context, on the GUI thread and in the snapshot alike.
TEST_F(ScreenProbeTest, TheHeadlessPlatformsScreenGivesTheNoScreenTexts) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr);
  ASSERT_GT(screen->geometry().width(), 0);
  EXPECT_EQ(sp::GetScreenResolutionText(), "0x0");  // this is the GUI thread
  EXPECT_EQ(sp::GetRefreshRateText(), "");
  EXPECT_EQ(sp::GetScreenInchText(), "-1");
  std::string from_worker, dpi_from_worker;
  std::thread([&] {
    from_worker = sp::GetScreenResolutionText();
    dpi_from_worker = sp::GetCurrentDpiText();
  }).join();
  EXPECT_EQ(from_worker, "0x0");
  EXPECT_EQ(dpi_from_worker, "0.00");
  // A "CurrentDpi" value stored by the product wins.
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(1),
                                  L"CurrentDpi", L"1.75"));
  EXPECT_EQ(sp::GetCurrentDpiText(), "1.75");
}

TEST(AvailableMemory, MatchesTheKernel) {
  struct sysinfo si {};
  ASSERT_EQ(sysinfo(&si), 0);
  const std::string text = sp::GetAvailableMemoryText();
  ASSERT_NE(text, "DEFAULT_VALUE");
  const unsigned long long mib = std::stoull(text);
  const unsigned long long total_mib = (std::uint64_t{si.totalram} * si.mem_unit) >> 20;
  EXPECT_GT(mib, 0u);
  EXPECT_LE(mib, total_mib);
}

TEST(Power, CapturedMachines) {
  struct Case {
    const char* machine;
    std::uint8_t ac;
    bool battery;
  };
  // The laptop's mouse battery does not make the desktop a laptop, nor its
  // offline USB-C port put the desktop on battery.
  const Case cases[] = {
      {"intel_laptop", 1, true},
      {"amd_desktop", 255, false},
      {"container", 255, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    sp::PowerRecord record;
    sp::GetPowerStatus(
        platform::machine::Reader(testenv::SourceDir() / "tests/platform/fixtures/machine" / c.machine),
        record);
    EXPECT_EQ(record.ac_line_status, c.ac);
    EXPECT_EQ(record.has_battery, c.battery);
  }
}

TEST(Power, FromSupplyTexts) {
  const std::string ac_off = "POWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=0\n";
  const std::string ac_on = "POWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=1\n";
  const std::string usb_on = "POWER_SUPPLY_TYPE=USB_PD\nPOWER_SUPPLY_ONLINE=1\n";
  const std::string battery = "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_PRESENT=1\n";
  const std::string empty_bay = "POWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_PRESENT=0\n";
  const std::string junk = "\xff\xfe garbage";
  struct Case {
    std::vector<std::string> supplies;
    std::uint8_t ac;
    bool battery;
  };
  const Case cases[] = {
      {{ac_off, battery}, 0, true},
      {{ac_off, usb_on, battery}, 1, true},
      {{ac_on}, 1, false},
      {{empty_bay, ac_on}, 1, false},
      {{junk}, 255, false},
      {{}, 255, false},
  };
  for (const Case& c : cases) {
    const auto record = sp::PowerFromSupplies(c.supplies);
    EXPECT_EQ(record.ac_line_status, c.ac);
    EXPECT_EQ(record.has_battery, c.battery);
  }
}

TEST(Power, UnreadableSourceKeepsTheStartingValues) {
  sp::PowerRecord record;
  // A file where the supplies' directory should be cannot be listed.
  const auto root = std::filesystem::temp_directory_path() / ("power_" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "sys/class");
  { std::ofstream(root / "sys/class/power_supply") << "x"; }
  sp::GetPowerStatus(platform::machine::Reader(root), record);
  std::filesystem::remove_all(root);
  EXPECT_EQ(record.ac_line_status, 255);
  EXPECT_FALSE(record.has_battery);
}

// Windows' power status: the line status as it is, a battery unless the
// flag says "no system battery" (bit 7), which "unknown" (255) includes.
TEST(Power, FromTheSystemStatus) {
  struct Case {
    std::uint8_t ac, flag;
    bool battery;
  };
  const Case cases[] = {
      {1, 128, false},  // a desktop
      {0, 1, true},     // on battery, charge high
      {1, 8 | 2, true}, // charging, low
      {1, 0, true},     // a battery of unreported charge
      {255, 255, false},
      {1, 128 | 8, false},
      {2, 4, true},     // an undefined line status passes through
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.ac) << "/" << int(c.flag));
    platform::machine::SystemPowerStatus status;
    status.ac_line_status = c.ac;
    status.battery_flag = c.flag;
    const auto record = sp::PowerFromSystemStatus(status);
    EXPECT_EQ(record.ac_line_status, c.ac);
    EXPECT_EQ(record.has_battery, c.battery);
  }
}

TEST(RemoteDesktop, ImageNames) {
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"AnyDesk.exe", true},      {L"ANYDESK.EXE", true},   {L"anydesk.exe", true},
      {L"anydesk_helper.exe", false}, {L"AnyDesk.exe ", false}, {L"mstsc.exe", true},
      {L"KivRemote.exe", true},    {L"x11vnc", true},        {L"", false},
      {L"vncserver", false},
  };
  for (const auto& [name, want] : cases) EXPECT_EQ(sp::IsRemoteDesktopImage(name), want);
}

TEST(RemoteDesktop, SessionVariables) {
  using Env = std::map<std::string, std::string>;
  const std::pair<Env, bool> cases[] = {
      {{}, false},
      {{{"DISPLAY", ":0"}}, false},
      {{{"DISPLAY", ":1.0"}}, false},
      {{{"DISPLAY", "unix:0"}}, false},
      {{{"DISPLAY", "/tmp/launch-x/org.xquartz:0"}}, false},
      {{{"DISPLAY", "localhost:10.0"}}, true},
      {{{"DISPLAY", "192.0.2.5:0"}}, true},
      {{{"XRDP_SESSION", "1"}}, true},
      {{{"XRDP_SESSION", ""}}, false},
  };
  for (const auto& [env, want] : cases) {
    const bool got = sp::IsRemoteSession([&](const char* name) -> std::optional<std::string> {
      auto it = env.find(name);
      return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
    EXPECT_EQ(got, want) << (env.empty() ? "" : env.begin()->first + "=" + env.begin()->second);
  }
}

TEST(RemoteDesktop, SessionFirstThenTheProgramList) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    Env env;
    std::vector<std::wstring> running;
    std::uint32_t walk_error;
    int want;
    int walks;
  };
  const Case cases[] = {
      // A remote session answers without walking the programs.
      {{{"XRDP_SESSION", "1"}}, {L"AnyDesk.exe"}, 0, 1, 0},
      {{}, {L"bash", L"TeamViewer.exe", L"sleep"}, 0, 1, 1},
      {{}, {L"bash", L"sleep"}, 0, 0, 1},
      {{}, {}, 0, 0, 1},
      // A list that cannot be read counts as none.
      {{}, {L"AnyDesk.exe"}, 5, 0, 1},
  };
  for (const Case& c : cases) {
    int walks = 0;
    std::vector<std::wstring> visited;
    const int got = sp::ProbeRemoteDesktop(
        [&](const char* name) -> std::optional<std::string> {
          auto it = c.env.find(name);
          return it == c.env.end() ? std::nullopt : std::optional<std::string>(it->second);
        },
        [&](const std::function<bool(std::wstring_view)>& visit) -> std::uint32_t {
          ++walks;
          for (const auto& image : c.running) {
            visited.push_back(image);
            if (!visit(image)) break;
          }
          return c.walk_error;
        });
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(walks, c.walks);
    // The walk stops at the first match.
    if (c.want == 1 && c.walks == 1) EXPECT_EQ(visited.back(), L"TeamViewer.exe");
  }
}

TEST(RemoteDesktop, ResultIsReusedForTenSeconds) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  int answer = 1;
  int probes = 0;
  sp::RemoteDesktopProbe probe([&] { return now; }, [&] {
    ++probes;
    return answer;
  });
  EXPECT_EQ(probe.Get(), 1);
  answer = 0;  // the remote tool closes
  now += std::chrono::seconds(5);
  EXPECT_EQ(probe.Get(), 1);
  now += std::chrono::nanoseconds(4'999'999'999);  // 9.999999999 s after the probe
  EXPECT_EQ(probe.Get(), 1);
  EXPECT_EQ(probes, 1);
  now += std::chrono::nanoseconds(1);  // 10 s
  EXPECT_EQ(probe.Get(), 0);
  EXPECT_EQ(probes, 2);
}

class RemoteDesktopProcessTest : public testenv::ProductTest {};

TEST_F(RemoteDesktopProcessTest, ARunningRemoteToolIsFoundByItsImageName) {
  if (sp::IsRemoteSession([](const char* n) -> std::optional<std::string> {
        const char* v = std::getenv(n);
        return v ? std::optional<std::string>(v) : std::nullopt;
      })) {
    GTEST_SKIP() << "this session is itself remote";
  }
  testenv::MachineLock lock("remote-desktop-names");
  // Only a name that merely starts like a remote tool: not counted.
  const auto decoy = testenv::InstallStandin(home() / "bin", "anydesk_helper.exe");
  auto running_decoy = testenv::StartStandin(decoy);
  ASSERT_TRUE(running_decoy.valid());
  const int before = sp::ProbeRemoteDesktop();
  const auto program = testenv::InstallStandin(home() / "bin", "ANYDESK.EXE");
  auto running = testenv::StartStandin(program);
  ASSERT_TRUE(running.valid());
  EXPECT_EQ(sp::ProbeRemoteDesktop(), 1);
  running.Stop();
  running_decoy.Stop();
  // Nothing else of the list runs on a build machine.
  EXPECT_EQ(before, 0);
}

TEST(SecuritySoftware, FamiliesFromDisplayNames) {
  struct Case {
    std::vector<std::string> names;
    unsigned want;
  };
  const Case cases[] = {
      {{"360 Total Security", "火绒安全软件"}, 10010},
      {{"360 Total Security", "360杀毒"}, 10},
      {{"Velmora Antivirus", "金山毒霸", "瑞星杀毒软件"}, 1101},
      {{"Windows Defender"}, 0},
      {{}, 0},
      {{"", "\xff\xfe"}, 0},
      // One family per product, the table's first match.
      {{"360 and 火绒 bundle"}, 10},
  };
  for (const Case& c : cases) EXPECT_EQ(sp::SecuritySoftwareTypeFromNames(c.names), c.want);
}

class SecuritySoftwareTest : public testenv::ProductTest {
 protected:
  std::wstring Root() { return MultiInst::Instance()->GetComponentRegRoot(0); }
};

TEST_F(SecuritySoftwareTest, AbsentValueIsZeroAndNotCached) {
  sp::SecuritySoftwareProbe probe([] { return std::wstring(L"QuarrionUpdate.exe"); });
  EXPECT_EQ(probe.Get(), 0u);
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, Root(), L"SecuritySoftwareType", 10010u));
  EXPECT_EQ(probe.Get(), 10010u);
  // Cached from now on.
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, Root(), L"SecuritySoftwareType", 1u));
  EXPECT_EQ(probe.Get(), 10010u);
}

TEST_F(SecuritySoftwareTest, DetectionStoresTheSumEvenWhenZero) {
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, Root(), L"SecuritySoftwareType", 10u));
  sp::DetectSecuritySoftware();
  EXPECT_TRUE(base::reg::IsExist(HKEY_LOCAL_MACHINE, Root(), L"SecuritySoftwareType"));
  EXPECT_EQ(base::reg::GetValue(HKEY_LOCAL_MACHINE, Root(), L"SecuritySoftwareType", 99), 0u);
}

}  // namespace
