// A real run of the built helper: every event it leaves in the analytics
// spool carries every common key, with this machine's own values where it
// has them (checked against readings taken here) and the defaults elsewhere.
#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/core/logic/hardware_detect/graphic_info_detector.h"
#include "platform/process.h"
#include "support/child.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"
#include "support/xserver.h"

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> OsRelease() {
  std::map<std::string, std::string> values;
  std::istringstream in(testenv::ReadFile("/etc/os-release"));
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    values[line.substr(0, eq)] = value;
  }
  return values;
}

// Installed memory from the memory blocks when published, else the total.
std::string ExpectedPhysicalMemory() {
  const fs::path blocks = "/sys/devices/system/memory";
  std::uint64_t block_size = 0;
  std::istringstream(testenv::ReadFile(blocks / "block_size_bytes")) >> std::hex >> block_size;
  std::uint64_t online = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(blocks, ec)) {
    if (entry.path().filename().string().rfind("memory", 0) != 0) continue;
    if (testenv::ReadFile(entry.path() / "online").rfind("1", 0) == 0) ++online;
  }
  if (block_size != 0 && online != 0) return std::to_string((online * block_size / 1024) >> 20);
  std::istringstream meminfo(testenv::ReadFile("/proc/meminfo"));
  std::string label;
  std::uint64_t kib = 0;
  meminfo >> label >> kib;
  const std::uint64_t bytes = kib * 1024;
  return std::to_string(bytes / (1ull << 30) + (bytes % (1ull << 30) != 0));
}

struct OpenglReading {
  bool ok = false;
  std::string vendor, renderer, version;
};
OpenglReading ReadOpengl(const fs::path& out) {
  const std::string command =
      (testenv::BinDir() / "opengl_checker.exe").string() + " > " + out.string() + " 2>/dev/null";
  OpenglReading reading;
  reading.ok = std::system(command.c_str()) == 0;
  std::istringstream lines(testenv::ReadFile(out));
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "vendor") reading.vendor = value;
    if (key == "renderer") reading.renderer = value;
    if (key == "version") reading.version = value;
  }
  return reading;
}

class CommonParamsRun : public testenv::ProductTest {};

TEST_F(CommonParamsRun, EveryEventCarriesEveryKeyWithThisMachinesValues) {
  if (!testenv::XServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  testenv::XServer x;
  ASSERT_TRUE(x.Start(1600, 900, 144));

  // An earlier OpenGL probe left its values in the registry cache.
  const OpenglReading gl = ReadOpengl(home() / "gl.txt");
  if (gl.ok) {
    const fs::path assistant = testenv::InstallStandin(home() / "probe", testenv::kAssistantExe);
    const std::string command = assistant.string() + " --check-opengl-process QuarrionUpdate.exe";
    ASSERT_EQ(WEXITSTATUS(std::system(command.c_str())), 1000 & 0xFF);
  }
  // A client still running, so the restart ends it and reports the kill.
  const fs::path client = testenv::InstallStandin(home() / "running", testenv::kClientExe);
  testenv::StandinProcess running = testenv::StartStandin(client);
  ASSERT_TRUE(running.valid());

  testenv::ChildOptions helper;
  helper.arguments = {"--appstore-pid", "4194304"};
  helper.environment = testenv::EnvironmentWith(
      {"LC_ALL", "QT_QPA_PLATFORM", "LANG=de_AT.UTF-8", "DISPLAY=:" + std::to_string(x.display())});
  ASSERT_EQ(testenv::RunBuiltHelper(helper), 0u);

  const std::string spool = testenv::ReadFile(testenv::SpoolPath());
  std::istringstream lines(spool);
  std::vector<nlohmann::ordered_json> events;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) events.push_back(nlohmann::ordered_json::parse(line));
  }
  ASSERT_FALSE(events.empty());
  EXPECT_TRUE(running.WaitForExit(0));

  utsname names{};
  ::uname(&names);
  const auto os = OsRelease();
  const std::set<std::string> static_keys = {
      "ac_status", "architecture", "architecture_machine", "biz_id", "cpu_core_number",
      "cpu_model", "cpu_vendor", "data_version", "device_perf_tier", "from_source",
      "image_type", "install_source", "laptop", "locale", "logic_cpu_core_number",
      "mobile_oaid", "monitor_refresh_rate", "opengl_demo_enable", "os_type", "pc_oaid",
      "pc_old_oaid", "physical_memory", "store_type", "system_type", "system_version",
      "win_oaid", "windows_manufacturer"};
  for (const auto& event : events) {
    SCOPED_TRACE(event["event"].get<std::string>());
    const auto& common = event["common"];
    const auto& vol = event["volatile"];
    // Ordered maps: the keys come in ascending order.
    std::vector<std::string> keys;
    for (const auto& [k, v] : common.items()) keys.push_back(k);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), static_keys);
    std::vector<std::string> volatile_keys;
    for (const auto& [k, v] : vol.items()) volatile_keys.push_back(k);
    EXPECT_TRUE(std::is_sorted(volatile_keys.begin(), volatile_keys.end()));
    EXPECT_EQ(volatile_keys.size(), 44u);

    // This machine's own values.
    EXPECT_EQ(common["cpu_core_number"], std::to_string(std::thread::hardware_concurrency()));
    EXPECT_EQ(common["logic_cpu_core_number"], std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(common["physical_memory"], ExpectedPhysicalMemory());
    EXPECT_EQ(common["locale"], "de-AT");
    const std::string version = common["system_version"];
    EXPECT_EQ(version.rfind(os.count("PRETTY_NAME") ? os.at("PRETTY_NAME") : "Linux", 0), 0u);
    EXPECT_TRUE(version.ends_with(std::string(" ") + names.release)) << version;
    if (std::string(names.machine) == "x86_64") {
      EXPECT_EQ(common["architecture_machine"], "x64");
    }
    EXPECT_EQ(vol["resolution"], "1600x900");
    EXPECT_EQ(vol["dpi"], "1.50");
    EXPECT_NE(vol["screen_inch"], "-1");
    EXPECT_FALSE(common["monitor_refresh_rate"].get<std::string>().empty());
    const std::string avail = vol["memory_avail_phys"];
    EXPECT_FALSE(avail.empty());
    EXPECT_EQ(avail.find_first_not_of("0123456789"), std::string::npos) << avail;
    if (gl.ok) {
      EXPECT_EQ(vol["graphics_type"], gl.renderer);
      EXPECT_EQ(vol["opengl_version"], gl.version);
      EXPECT_EQ(vol["graphics_vendor"], graphic_info::ClassifyVendor(gl.vendor, gl.renderer));
    }
    EXPECT_FALSE(vol["A3"].get<std::string>().empty());
    EXPECT_EQ(vol["A3"], vol["guid"]);

    // Fixed values and the defaults of what this machine cannot know.
    EXPECT_EQ(common["data_version"], "v0002");
    EXPECT_EQ(common["os_type"], "3");
    EXPECT_EQ(common["system_type"], "windows");
    EXPECT_EQ(common["biz_id"], "Quarrion");
    EXPECT_EQ(common["device_perf_tier"], "");
    EXPECT_EQ(common["store_type"], "0");
    EXPECT_EQ(common["opengl_demo_enable"], "-10240");  // nothing stored before this run
    for (const char* key : {"win_oaid", "mobile_oaid", "pc_oaid", "pc_old_oaid"}) {
      EXPECT_EQ(common[key], "") << key;
    }
    for (const char* key : {"imei", "login_openid", "login_type", "wune32", "wune40",
                            "second_graphics_type", "second_graphics_vendor",
                            "second_graphics_driver_version", "second_graphics_driver_publish_date",
                            "graphics_driver_version", "graphics_driver_publish_date"}) {
      EXPECT_EQ(vol[key], "") << key;
    }
    EXPECT_EQ(vol["region"], "CN");
    EXPECT_EQ(vol["is_system_tray_mode"], "-1");
    EXPECT_EQ(vol["image_boot_count"], "0");
    EXPECT_EQ(vol["virtual_engine_type"], "0");
    EXPECT_EQ(vol["graphics_card_count"], "0");
    EXPECT_EQ(vol["client_type"], "1");
    EXPECT_EQ(vol["media_channel"], "0");
  }
}

// The locale is the user's text category as the session sets it, also
// when only that category is set; the interface language alone is not it.
TEST_F(CommonParamsRun, LocaleIsTheUsersTextCategory) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"LC_CTYPE=fr_CA.UTF-8"}, "fr-CA"},
      {{"LC_MESSAGES=ja_JP.UTF-8"}, "DEFAULT_VALUE-DEFAULT_VALUE"},
  };
  for (const auto& [variables, want] : cases) {
    std::error_code ec;
    fs::remove(testenv::SpoolPath(), ec);
    testenv::ChildOptions helper;
    helper.arguments = {"--appstore-pid", "4194304"};
    std::vector<std::string> changes = {"LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LANG",
                                        "QT_QPA_PLATFORM=offscreen"};
    changes.insert(changes.end(), variables.begin(), variables.end());
    helper.environment = testenv::EnvironmentWith(changes);
    ASSERT_EQ(testenv::RunBuiltHelper(helper), 0u);
    const std::vector<nlohmann::json> events = testenv::ReadSpoolEvents();
    ASSERT_FALSE(events.empty());
    for (const auto& event : events) EXPECT_EQ(event["common"]["locale"], want) << variables[0];
  }
}

}  // namespace

namespace {

// The delayed probes are still running when the main pass ends: the slow
// assistant has been started, the slow demo program too. The helper still
// exits at once with 0, its events complete.
TEST_F(CommonParamsRun, ExitsCleanlyWhileProbesAreStillRunning) {
  const fs::path component = MultiInst::Instance()->GetCurrentComponentDirectory(1, true);
  testenv::InstallStandin(component, testenv::kAssistantExe);
  testenv::InstallStandin(component, "opengl_checker.exe");  // runs for its lifetime
  // The old client ends by itself once the delayed thread has started the probe.
  const fs::path client = testenv::InstallStandin(home() / "running", testenv::kClientExe);
  testenv::StandinProcess old_client = testenv::StartStandin(client, L"--standin-lifetime-ms=1500");
  ASSERT_TRUE(old_client.valid());

  testenv::ChildOptions helper;
  helper.arguments = {"--appstore-pid", std::to_string(old_client.pid())};
  helper.environment =
      testenv::EnvironmentWith({"QT_QPA_PLATFORM=offscreen", "QUARRION_STANDIN_LIFETIME_MS=20000"});
  // Far below the probes' 20 s: the exit waits for none of them.
  EXPECT_EQ(testenv::RunBuiltHelper(helper, 15000), 0u);

  std::size_t assistant = 0, demo = 0;
  for (const auto& c : testenv::ReadStandinCommands()) {
    if (c.name == testenv::kAssistantExe && c.argv.size() > 1 && c.argv[1] == "--check-opengl-process") {
      ++assistant;
    }
    if (c.name == "opengl_checker.exe") ++demo;
  }
  EXPECT_EQ(assistant, 1u);
  EXPECT_EQ(demo, 1u);
  // The probe's interval stamp was taken, its result never arrived.
  EXPECT_TRUE(base::reg::IsExist(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(0),
                                 L"FetchOpenglInfoQuarrionAssistant.exe"));
  EXPECT_FALSE(base::reg::IsExist(HKEY_LOCAL_MACHINE, MultiInst::Instance()->GetNimbrelEnvRegRoot(),
                                  L"OpenglDemoResult"));

  // Leave no stand-in behind: end the probes this test started.
  for (const auto& c : testenv::ReadStandinCommands()) {
    if (c.name == testenv::kAssistantExe || c.name == "opengl_checker.exe") {
      platform::ProcessHandle h =
          platform::OpenProcess(static_cast<platform::Pid>(c.pid), platform::kProcessTerminate)
              .value_or(platform::ProcessHandle());
      if (h) platform::TerminateProcess(h.get(), 1);
    }
  }
}

}  // namespace
