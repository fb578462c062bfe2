// The graphics record against a fresh product machine: its registry cache,
// the OpenGL probe through the stand-in assistant, the diagnostic tool
// stand-in over captured kernel trees, and the OpenGL demo run.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <array>
#include <atomic>
#include <fstream>
#include <sstream>

#include "base/gstring.h"
#include "base/hardware_detect.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/core/logic/hardware_detect/graphic_info_detector.h"
#include "support/scoped_env.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::wstring AssistantKey() { return graphic_info::GraphicInfoKey(L"QuarrionAssistant.exe"); }
std::wstring DxDiagKey() { return graphic_info::GraphicInfoKey(L"dxdiag.exe"); }

void SeedOpengl(const std::string& vendor, const std::string& renderer, int major, int minor) {
  const std::wstring key = AssistantKey();
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglVendor", base::gstring::FromUtf8(vendor));
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglRenderer", base::gstring::FromUtf8(renderer));
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglVersion", L"4.6.0");
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglMajorVersion", major);
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglMinorVersion", minor);
}

std::string StoredText(const wchar_t* name) {
  return base::gstring::ToUtf8(base::reg::GetValue(HKEY_CURRENT_USER, DxDiagKey(), name, L""));
}

// What the demo program itself says about this machine's OpenGL.
struct CheckerReading {
  int exit_code = -1;
  std::string renderer;
  std::string vendor;
};
CheckerReading ReadChecker(const fs::path& home) {
  const fs::path out = home / "checker.txt";
  const std::string command =
      (testenv::BinDir() / "opengl_checker.exe").string() + " > " + out.string() + " 2>/dev/null";
  CheckerReading reading;
  const int status = std::system(command.c_str());
  reading.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream lines(testenv::ReadFile(out));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("renderer=", 0) == 0) reading.renderer = line.substr(9);
    if (line.rfind("vendor=", 0) == 0) reading.vendor = line.substr(7);
  }
  return reading;
}

class GraphicInfoTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    component_dir_ = MultiInst::Instance()->GetCurrentComponentDirectory(1, true);
  }
  // A record as the update helper has it: its executable somewhere without
  // an assistant beside it, the client's directory as installed.
  GraphicInfoDetector::Sources Sources(const std::string& exe_name = "QuarrionUpdate.exe") {
    GraphicInfoDetector::Sources sources;
    const fs::path exe = exe_dir_.empty() ? home() / "helper" / exe_name : exe_dir_ / exe_name;
    sources.exe_path = [exe] { return exe; };
    sources.component_dir = [dir = component_dir_] { return dir; };
    sources.adapters = [] { return std::optional<std::vector<base::hardware_detect::AdapterInfo>>(); };
    sources.second_card_delay = std::chrono::milliseconds(0);
    return sources;
  }
  fs::path InstallAssistant() {
    return testenv::InstallStandin(component_dir_, testenv::kAssistantExe);
  }
  std::vector<testenv::StandinCommand> AssistantRuns() {
    std::vector<testenv::StandinCommand> runs;
    for (auto& c : testenv::ReadStandinCommands()) {
      if (c.name == testenv::kAssistantExe) runs.push_back(c);
    }
    return runs;
  }
  fs::path component_dir_;
  fs::path exe_dir_;
};

TEST_F(GraphicInfoTest, StartsFromTheRegistryCacheAndJudgesItComplete) {
  struct Case {
    const char* label;
    const char* vendor;
    const char* renderer;
    int major, minor;
    bool complete;
    const char* vendor_class;
  };
  const Case cases[] = {
      {"all present", "NVIDIA Corporation", "GeForce RTX 4070/PCIe/SSE2", 4, 6, true, "NVIDIA"},
      {"unknown vendor still complete", "Mesa", "llvmpipe", 4, 5, true, "UNKNOWN"},
      {"no vendor", "", "llvmpipe", 4, 5, false, "UNKNOWN"},
      {"no renderer", "Intel", "", 4, 5, false, "Intel"},
      {"minor version 0", "Intel", "UHD", 3, 0, false, "Intel"},
      {"major version 0", "Intel", "UHD", 0, 1, false, "Intel"},
  };
  for (const auto& c : cases) {
    SeedOpengl(c.vendor, c.renderer, c.major, c.minor);
    GraphicInfoDetector detector(Sources());
    EXPECT_EQ(detector.OpenglInfoComplete(), c.complete) << c.label;
    EXPECT_EQ(detector.VendorClass(), c.vendor_class) << c.label;
    EXPECT_EQ(detector.OpenglRenderer(), c.renderer) << c.label;
    EXPECT_EQ(detector.OpenglMajorVersion(), c.major) << c.label;
    EXPECT_EQ(detector.Done(), 0);
  }
}

TEST_F(GraphicInfoTest, EmptyMachineReadsInitialValues) {
  GraphicInfoDetector detector(Sources());
  EXPECT_EQ(detector.OpenglVersion(), "");  // an empty cache replaces "0.0.0"
  EXPECT_EQ(detector.GraphicCardCount(), 0);
  EXPECT_EQ(detector.DriverVersion(), "");
  EXPECT_EQ(detector.SecondVendorClass(), "");
  EXPECT_TRUE(detector.SecondAdapterPending());
  EXPECT_FALSE(detector.OpenglInfoComplete());
}

TEST_F(GraphicInfoTest, DiagnosticDevicesFillPrimaryAndSecondAdapter) {
  const GraphicDriverInfoFromDXDiag intel{"Intel(R) UHD Graphics", "Intel Corporation", "27.1", "1/1/2021"};
  const GraphicDriverInfoFromDXDiag nvidia{"NVIDIA GeForce RTX 3060", "NVIDIA", "31.0", "2/2/2022"};
  const GraphicDriverInfoFromDXDiag amd{"AMD Radeon", "Advanced Micro Devices, Inc.", "22.5", "3/3/2023"};
  struct Case {
    const char* label;
    const char* vendor;
    const char* renderer;
    std::vector<GraphicDriverInfoFromDXDiag> devices;
    std::string driver, date, second_renderer, second_vendor;
    int count;
  };
  const std::vector<Case> cases = {
      {"one device sets only the primary", "Intel", "Intel UHD", {intel}, "27.1", "1/1/2021", "", "", 0},
      {"primary second in the list", "NVIDIA Corporation", "GeForce", {intel, nvidia},
       "31.0", "2/2/2022", "Intel(R) UHD Graphics", "Intel Corporation", 2},
      {"primary first in the list", "NVIDIA Corporation", "GeForce", {nvidia, intel},
       "31.0", "2/2/2022", "Intel(R) UHD Graphics", "Intel Corporation", 2},
      {"keyword matched in the renderer, ignoring case", "ATI Technologies", "amd radeon",
       {intel, amd}, "22.5", "3/3/2023", "Intel(R) UHD Graphics", "Intel Corporation", 2},
      {"three devices: only the first two count", "Intel", "UHD", {intel, nvidia, amd},
       "27.1", "1/1/2021", "NVIDIA GeForce RTX 3060", "NVIDIA", 2},
      {"no keyword: first device is the second adapter", "Mesa", "llvmpipe", {nvidia, amd},
       "", "", "NVIDIA GeForce RTX 3060", "NVIDIA", 2},
  };
  for (const auto& c : cases) {
    testenv::ProductHome fresh;
    SeedOpengl(c.vendor, c.renderer, 4, 6);
    {
      GraphicInfoDetector detector(Sources());
      detector.FillGraphicDriverInfosFromDXDiag(c.devices);
      EXPECT_EQ(detector.DriverVersion(), c.driver) << c.label;
      EXPECT_EQ(detector.GraphicCardCount(), c.count) << c.label;
    }
    // Stored: a later record starts from the same values.
    GraphicInfoDetector later(Sources());
    EXPECT_EQ(later.DriverVersion(), c.driver) << c.label;
    EXPECT_EQ(later.DriverPublishDate(), c.date) << c.label;
    EXPECT_EQ(later.SecondRenderer(), c.second_renderer) << c.label;
    EXPECT_EQ(later.SecondVendor(), c.second_vendor) << c.label;
    EXPECT_EQ(later.GraphicCardCount(), c.count) << c.label;
    EXPECT_TRUE(base::reg::IsExist(HKEY_CURRENT_USER, DxDiagKey(), L"GraphicCardCount")) << c.label;
  }
}

TEST_F(GraphicInfoTest, EmptyDeviceListChangesNothing) {
  GraphicInfoDetector detector(Sources());
  detector.FillGraphicDriverInfosFromDXDiag({});
  EXPECT_FALSE(base::reg::IsExist(HKEY_CURRENT_USER, DxDiagKey(), L"GraphicCardCount"));
}

TEST_F(GraphicInfoTest, UpdateWithoutAssistantOnlyFinishes) {
  testenv::LogCapture log;
  GraphicInfoDetector detector(Sources());
  detector.Update(false, false);
  EXPECT_TRUE(detector.WaitDone(std::chrono::milliseconds(0)));
  EXPECT_EQ(log.Find("CHECK OPENGL assistant path check not satisfied").size(), 1u);
  EXPECT_TRUE(log.Find("Send CHECK OPENGL request").empty());
  EXPECT_EQ(detector.SafeCheckOpengl(false), graphic_info::kCheckOpenglOk);
}

TEST_F(GraphicInfoTest, AssistantBesideTheExecutableIsPreferred) {
  exe_dir_ = home() / "bin";
  InstallAssistant();
  const fs::path beside = testenv::InstallStandin(exe_dir_, testenv::kAssistantExe);
  GraphicInfoDetector detector(Sources());
  EXPECT_EQ(detector.AssistantPath(), beside);
  fs::remove(beside);
  EXPECT_EQ(detector.AssistantPath(), component_dir_ / "QuarrionAssistant.exe");
}

TEST_F(GraphicInfoTest, UpdateMeasuresOpenglThroughTheAssistantOnceInFifteenDays) {
  const CheckerReading reading = ReadChecker(home());
  if (reading.exit_code != 0) GTEST_SKIP() << "no OpenGL context can be made on this machine";
  const fs::path assistant = InstallAssistant();
  testenv::LogCapture log;
  {
    GraphicInfoDetector detector(Sources());
    detector.Update(false, false);
    ASSERT_TRUE(detector.WaitDone(std::chrono::milliseconds(0)));
    EXPECT_EQ(detector.OpenglRenderer(), reading.renderer);
    EXPECT_EQ(detector.OpenglVendor(), reading.vendor);
    EXPECT_TRUE(detector.OpenglInfoComplete());
    EXPECT_GT(detector.OpenglMajorVersion(), 0);
  }
  const auto runs = AssistantRuns();
  ASSERT_EQ(runs.size(), 1u);  // the restricted start sufficed
  ASSERT_EQ(runs[0].argv.size(), 3u);
  EXPECT_EQ(runs[0].argv[1], "--check-opengl-process");
  EXPECT_EQ(runs[0].argv[2], "QuarrionUpdate.exe");
  EXPECT_EQ(log.Find("Send CHECK OPENGL request").size(), 1u);
  EXPECT_EQ(log.Find("check_opengl_process path:" + assistant.string()).size(), 1u);
  const auto ok = log.StartingWith("CHECK OPENGL ok! ret:1000 vendor:");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_NE(ok[0].message.find(" model:" + reading.renderer + " "), std::string::npos);
  EXPECT_EQ(ok[0].type, QtInfoMsg);
  EXPECT_TRUE(log.Find("ExecuteShellWithCurrentPrivileges").empty());
  EXPECT_EQ(base::reg::GetValue(HKEY_CURRENT_USER, L"Software\\Microsoft\\DirectX\\UserGpuPreferences",
                                assistant.wstring(), L""),
            L"GpuPreference=2;");

  // Within fifteen days the probe is not run again.
  log.Clear();
  GraphicInfoDetector again(Sources());
  again.Update(false, false);
  EXPECT_EQ(AssistantRuns().size(), 1u);
  EXPECT_EQ(log.Find("CHECK OPENGL duration check not satisfied").size(), 1u);
  EXPECT_EQ(again.OpenglRenderer(), reading.renderer);
  EXPECT_EQ(again.Done(), 1);
}

TEST_F(GraphicInfoTest, FailedProbeIsRetriedThroughTheShellAndLoggedCritical) {
  InstallAssistant();
  struct Case {
    const char* exit_text;
    int expected;
    bool critical;
  };
  // 1000 without values stored is not trusted either.
  const Case cases[] = {{"7", 7, true}, {"1000", 1000, false}};
  for (const auto& c : cases) {
    base::reg::DeleteValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(0),
                           L"FetchOpenglInfoQuarrionAssistant.exe");
    WriteText(home() / "standin" / "QuarrionAssistant.exe.exit", c.exit_text);
    const std::size_t before = AssistantRuns().size();
    testenv::LogCapture log;
    GraphicInfoDetector detector(Sources());
    EXPECT_EQ(detector.SafeCheckOpengl(false), c.expected) << c.exit_text;
    EXPECT_EQ(AssistantRuns().size(), before + 2) << c.exit_text;
    EXPECT_EQ(log.Find("CHECK OPENGL ExecuteShellWithCurrentPrivileges").size(), 1u);
    log.Clear();
    detector.Update(false, false);
    const auto failed = log.StartingWith("CHECK OPENGL FAILED! ret:");
    EXPECT_EQ(failed.size(), c.critical ? 1u : 0u) << c.exit_text;
    if (c.critical) {
      EXPECT_EQ(failed[0].type, QtCriticalMsg);
      EXPECT_EQ(failed[0].message,
                "CHECK OPENGL FAILED! ret:7 vendor:UNKNOWN model: driver_version: opengl_version: "
                "driver_date: core_major_version:0 core_minor_version:0");
    }
  }
}

// Two captured cards: an integrated Intel one and a discrete NVIDIA one.
fs::path MakeDrmTree(const fs::path& root) {
  const auto card = [&](const std::string& name, const char* vendor, const char* device,
                        const char* driver) {
    WriteText(root / name / "device" / "vendor", std::string(vendor) + "\n");
    WriteText(root / name / "device" / "device", std::string(device) + "\n");
    WriteText(root / name / "device" / "uevent", std::string("DRIVER=") + driver + "\nPCI_ID=x\n");
  };
  card("card0", "0x8086", "0x9bc5", "i915");
  card("card1", "0x10de", "0x2504", "nvidia");
  fs::create_directories(root / "card0-eDP-1");
  return root;
}

TEST_F(GraphicInfoTest, ClientRecordFillsFromTheDiagnosticToolStandIn) {
  exe_dir_ = testenv::BinDir();  // where the dxdiag stand-in is
  testenv::ScopedEnv drm("QUARRION_DXDIAG_DRM_ROOT", MakeDrmTree(home() / "drm").string());
  SeedOpengl("NVIDIA Corporation", "NVIDIA GeForce RTX 3060", 4, 6);
  // The report path goes unquoted on the tool's command line.
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(0),
                      L"TempDirectory", (home() / "my  temp").wstring());
  const fs::path temp = MultiInst::Instance()->GetTempNimbrelDirectory(0, true);
  ASSERT_NE(temp.string().find("my  temp"), std::string::npos);
  {
    GraphicInfoDetector detector(Sources("Quarrion.exe"));
    detector.RunDxDiagFill();
    EXPECT_EQ(detector.SecondVendor(), "Intel Corporation");
    EXPECT_EQ(detector.SecondVendorClass(), "Intel");
    EXPECT_EQ(detector.GraphicCardCount(), 2);
  }
  const std::string report =
      testenv::ReadFile(temp / "Quarrion_dxdiag.log");
  ASSERT_FALSE(report.empty());
  const auto devices = graphic_info::ParseDxDiagReport(report);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_NE(devices[0].card_name.find("8086:9bc5"), std::string::npos);
  EXPECT_EQ(devices[1].manufacturer, "NVIDIA");
  EXPECT_EQ(StoredText(L"OpenglDriverVersion"), devices[1].driver_version);
  EXPECT_EQ(StoredText(L"SecondGCRenderer"), devices[0].card_name);
  EXPECT_FALSE(StoredText(L"OpenglDriverPublishDate").empty());
}

// A report an earlier run left in the temporary folder is never taken for
// this run's: when the tool fails, nothing reaches the registry (so a later
// run asks again), and the old report is gone either way.
TEST_F(GraphicInfoTest, OnlyAReportThisRunWroteIsStored) {
  testenv::ScopedEnv drm("QUARRION_DXDIAG_DRM_ROOT", MakeDrmTree(home() / "drm").string());
  SeedOpengl("NVIDIA Corporation", "NVIDIA GeForce RTX 3060", 4, 6);
  const std::string old_report =
      "Display Devices\r\n"
      "Card name: Old Card A\r\nManufacturer: Old Maker\r\nDriver Version: 1.0\r\n"
      "Driver Date/Size: 1/1/2001, 1 bytes\r\n"
      "Card name: Old Card B\r\nManufacturer: NVIDIA\r\nDriver Version: 2.0\r\n"
      "Driver Date/Size: 2/2/2002, 2 bytes\r\n";
  const auto tool_script = [&](const std::string& dir, const std::string& body) {
    const fs::path folder = home() / dir;
    WriteText(folder / "dxdiag", "#!/bin/sh\n" + body + "\n");
    fs::permissions(folder / "dxdiag", fs::perms::owner_all);
    return folder;
  };
  struct Case {
    const char* label;
    fs::path exe_dir;  // where the tool is looked for
    bool writes;
    bool stores;
  };
  const Case cases[] = {
      {"no tool", home() / "no-tool", false, false},
      {"error exit", tool_script("fails", "exit 3"), false, false},
      {"error exit after writing",
       tool_script("writes-fails",
                   "printf 'Display Devices\\nCard name: New\\nDriver Date/Size: 1/1/2024\\n"
                   "Card name: Two\\nDriver Date/Size: 1/1/2024\\n' > \"$2\"; exit 1"),
       true, false},
      {"success without a report", tool_script("silent", "exit 0"), false, false},
      {"the real stand-in", testenv::BinDir(), true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    base::reg::DeleteValue(HKEY_CURRENT_USER, DxDiagKey(), L"GraphicCardCount");
    base::reg::DeleteValue(HKEY_CURRENT_USER, DxDiagKey(), L"SecondGCRenderer");
    const fs::path report = MultiInst::Instance()->GetTempNimbrelDirectory(0, true) / "Quarrion_dxdiag.log";
    WriteText(report, old_report);
    exe_dir_ = c.exe_dir;
    GraphicInfoDetector detector(Sources("Quarrion.exe"));
    detector.RunDxDiagFill();
    EXPECT_EQ(base::reg::IsExist(HKEY_CURRENT_USER, DxDiagKey(), L"GraphicCardCount"), c.stores);
    EXPECT_EQ(detector.SecondRenderer().find("Old Card"), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(report).find("Old Card"), std::string::npos);
    EXPECT_EQ(fs::exists(report), c.writes);
    if (c.stores) {
      EXPECT_EQ(StoredText(L"SecondGCRenderer").find("Intel"), 0u);
    } else {
      EXPECT_EQ(detector.GraphicCardCount(), 0);
    }
  }
}

TEST_F(GraphicInfoTest, ClientUpdateStartsTheSecondAdapterDetectionWhenItIsMissing) {
  exe_dir_ = testenv::BinDir();
  testenv::ScopedEnv drm("QUARRION_DXDIAG_DRM_ROOT", MakeDrmTree(home() / "drm").string());
  InstallAssistant();
  SeedOpengl("NVIDIA Corporation", "NVIDIA GeForce RTX 3060", 4, 6);
  // A recent probe: the update goes the "duration not elapsed" way.
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(0),
                      L"FetchOpenglInfoQuarrionAssistant.exe",
                      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     std::chrono::system_clock::now().time_since_epoch())
                                                     .count()));
  {
    GraphicInfoDetector detector(Sources("Quarrion.exe"));
    detector.Update(false, false);
    EXPECT_FALSE(detector.SecondAdapterPending());
  }  // joins the delayed detection
  EXPECT_TRUE(AssistantRuns().empty());
  GraphicInfoDetector later(Sources("Quarrion.exe"));
  EXPECT_EQ(later.SecondRenderer().find("Intel"), 0u);
  EXPECT_EQ(later.GraphicCardCount(), 2);

  // The update helper never starts it.
  testenv::ProductHome fresh;
  SeedOpengl("NVIDIA Corporation", "NVIDIA GeForce RTX 3060", 4, 6);
  GraphicInfoDetector helper(Sources("QuarrionUpdate.exe"));
  helper.Update(false, false);
  EXPECT_TRUE(helper.SecondAdapterPending());
}

TEST_F(GraphicInfoTest, DemoRunsOncePerProcessAndStoresItsExitCode) {
  const std::wstring env_root = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  const auto stored = [&] {
    return static_cast<int>(static_cast<std::uint32_t>(
        base::reg::GetValue(HKEY_LOCAL_MACHINE, env_root, L"OpenglDemoResult", std::uint64_t{12345})));
  };
  // No program: nothing runs, nothing is stored.
  EXPECT_EQ(graphic_info::RunOpenglDemo(component_dir_), std::nullopt);
  EXPECT_EQ(stored(), 12345);

  fs::copy_file(testenv::BinDir() / "opengl_checker.exe", component_dir_ / "opengl_checker.exe");
  const int expected = ReadChecker(home()).exit_code;
  {
    GraphicInfoDetector detector(Sources());
    EXPECT_EQ(detector.OpenglDemoResult(), graphic_info::kOpenglDemoUnknown);
  }  // joins the demo thread
  EXPECT_EQ(stored(), expected);
  GraphicInfoDetector after(Sources());
  EXPECT_EQ(after.OpenglDemoResult(), expected);

  // A stored 0 is final: the program is not run again.
  base::reg::SetValue(HKEY_LOCAL_MACHINE, env_root, L"OpenglDemoResult", 0);
  fs::remove(component_dir_ / "opengl_checker.exe");
  WriteText(component_dir_ / "opengl_checker.exe", "not a program");
  EXPECT_EQ(graphic_info::RunOpenglDemo(component_dir_), 0);
  EXPECT_EQ(stored(), 0);
  // Any other result is retried; a program that cannot start stores its error.
  base::reg::SetValue(HKEY_LOCAL_MACHINE, env_root, L"OpenglDemoResult", 4);
  const auto error = graphic_info::RunOpenglDemo(component_dir_);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(*error, 0);
  EXPECT_EQ(stored(), *error);
}

TEST_F(GraphicInfoTest, DedicatedMemoryIsComputedOnceAndStored) {
  constexpr std::uint64_t GiB = 1ull << 30;
  std::atomic<int> enumerations{0};
  auto sources = Sources();
  sources.adapters = [&] {
    ++enumerations;
    base::hardware_detect::AdapterInfo a;
    a.adapter_type = base::hardware_detect::kAdapterRenderSupported;
    a.dedicated_video_memory = 6 * GiB;
    return std::optional<std::vector<base::hardware_detect::AdapterInfo>>({a});
  };
  {
    GraphicInfoDetector detector(sources);
    EXPECT_EQ(detector.DedicatedGpuMemory(), 6 * GiB);
    EXPECT_EQ(detector.DedicatedGpuMemory(), 6 * GiB);
    EXPECT_EQ(enumerations.load(), 1);
  }
  GraphicInfoDetector later(sources);
  EXPECT_EQ(later.DedicatedGpuMemory(), 6 * GiB);
  EXPECT_EQ(enumerations.load(), 1);

  // A failed enumeration reads 0 and is asked again next time.
  testenv::ProductHome fresh;
  GraphicInfoDetector none(Sources());
  EXPECT_EQ(none.DedicatedGpuMemory(), 0u);
  EXPECT_FALSE(base::reg::IsExist(HKEY_CURRENT_USER, DxDiagKey(), L"DedicatedGpuMemoryBytes"));
}

}  // namespace

namespace {

// The diagnostic stand-in over captured trees: its report parses back to
// the cards the tree holds, whatever is missing from it.
TEST_F(GraphicInfoTest, DiagnosticToolReportsTheCardsOfATree) {
  struct Case {
    const char* label;
    std::vector<std::array<const char*, 4>> cards;  // name, vendor, device, driver
    std::vector<std::string> manufacturers;
  };
  const std::vector<Case> cases = {
      {"no DRM class at all", {}, {}},
      {"one AMD card", {{"card0", "0x1002", "0x73bf", "amdgpu"}}, {"Advanced Micro Devices, Inc."}},
      {"card without PCI identity is left out",
       {{"card0", "", "", "simpledrm"}, {"card1", "0x1af4", "0x1050", "virtio-pci"}}, {"Red Hat, Inc."}},
      {"unknown vendor and no driver",
       {{"card0", "0xabcd", "0x0001", ""}, {"card2", "0x8086", "0x46a6", "i915"}},
       {"Vendor abcd", "Intel Corporation"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const fs::path root = home() / ("drm" + std::to_string(n));
    const fs::path report = home() / ("report " + std::to_string(n++) + ".txt");
    for (const auto& [name, vendor, device, driver] : c.cards) {
      if (*vendor) WriteText(root / name / "device" / "vendor", std::string(vendor) + "\n");
      if (*device) WriteText(root / name / "device" / "device", std::string(device) + "\n");
      WriteText(root / name / "device" / "uevent", *driver ? std::string("DRIVER=") + driver + "\n" : "");
    }
    const std::string command = "QUARRION_DXDIAG_DRM_ROOT='" + root.string() + "' '" +
                                (testenv::BinDir() / "dxdiag").string() + "' /t '" +
                                report.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << c.label;
    std::vector<std::string> manufacturers;
    for (const auto& d : graphic_info::ParseDxDiagReport(testenv::ReadFile(report))) {
      manufacturers.push_back(d.manufacturer);
      EXPECT_FALSE(d.driver_version.empty()) << c.label;
      EXPECT_FALSE(d.driver_date.empty()) << c.label;
    }
    EXPECT_EQ(manufacturers, c.manufacturers) << c.label;
  }
  // Without a report path it writes nothing and says so.
  const std::string bare = "'" + (testenv::BinDir() / "dxdiag").string() + "' 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(bare.c_str())), 87);
}

}  // namespace
