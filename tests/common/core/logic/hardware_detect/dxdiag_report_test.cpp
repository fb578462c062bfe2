// The diagnostic report parser, the vendor classes and the video memory
// choice: pure functions, table-driven.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/hardware_detect.h"
#include "common/core/logic/hardware_detect/graphic_info_detector.h"

namespace {

using Devices = std::vector<GraphicDriverInfoFromDXDiag>;

std::string Device(const std::string& name, const std::string& maker, const std::string& version,
                   const std::string& date) {
  return "           Card name: " + name + "\r\n        Manufacturer: " + maker +
         "\r\n           Chip type: x\r\n      Driver Version: " + version +
         "\r\n    Driver Date/Size: " + date + "\r\n\r\n";
}

const std::string kHead =
    "------------------\r\nSystem Information\r\n------------------\r\n"
    "Card name: Not A Device\r\nManufacturer: Nobody\r\n"
    "---------------\r\nDisplay Devices\r\n---------------\r\n";
const std::string kTail = "-------------\r\nSound Devices\r\n-------------\r\n" +
                          Device("Sound Card", "Audio Inc", "1", "1/1/2020, 0 bytes");

struct ReportCase {
  const char* label;
  std::string report;
  Devices expected;
};

TEST(DxDiagReport, ParsesDisplayDevicesOnly) {
  const std::vector<ReportCase> cases = {
      {"one device",
       kHead + Device("NVIDIA GeForce RTX 3060", "NVIDIA", "31.0.15.3623", "6/2/2023 8:00:00 AM, 1234 bytes") + kTail,
       {{"NVIDIA GeForce RTX 3060", "NVIDIA", "31.0.15.3623", "6/2/2023 8:00:00 AM"}}},
      {"two devices",
       kHead + Device("Intel(R) UHD Graphics 630", "Intel Corporation", "27.20.100.8681", "9/1/2020, 5 bytes") +
           Device("AMD Radeon RX 580", "Advanced Micro Devices, Inc.", "31.0.12", "3/3/2022, 9 bytes") + kTail,
       {{"Intel(R) UHD Graphics 630", "Intel Corporation", "27.20.100.8681", "9/1/2020"},
        {"AMD Radeon RX 580", "Advanced Micro Devices, Inc.", "31.0.12", "3/3/2022"}}},
      {"three devices kept in order",
       kHead + Device("A", "a", "1", "1/1/2001, x") + Device("B", "b", "2", "2/2/2002, y") +
           Device("C", "c", "3", "3/3/2003, z") + kTail,
       {{"A", "a", "1", "1/1/2001"}, {"B", "b", "2", "2/2/2002"}, {"C", "c", "3", "3/3/2003"}}},
      {"odd spacing and letter case",
       "DISPLAY DEVICES\n\tcard NAME:\t  Spaced  Card \t\nMANUFACTURER:Maker\n"
       "driver version:   9.9  \ndriver date/size:  12/31/2021  ,  77 bytes\n",
       {{"Spaced  Card", "Maker", "9.9", "12/31/2021"}}},
      {"value with a colon keeps the rest",
       kHead + Device("Card: Pro", "M", "1:2", "1/1/2020") + kTail,
       {{"Card: Pro", "M", "1:2", "1/1/2020"}}},
      {"missing manufacturer and version",
       kHead + "Card name: Bare\nDriver Date/Size: 1/2/2019, 3 bytes\n" + kTail,
       {{"Bare", "", "", "1/2/2019"}}},
      {"entry without its date line is not complete",
       kHead + "Card name: Half\nManufacturer: M\nDriver Version: 1\n" + kTail, {}},
      {"a new card name restarts the entry",
       kHead + "Card name: First\nManufacturer: M1\nCard name: Second\nDriver Date/Size: d, s\n" + kTail,
       {{"Second", "", "", "d"}}},
      {"fields before any card name are ignored",
       kHead + "Manufacturer: Orphan\nDriver Date/Size: 1/1/2000\n" + kTail, {}},
      {"non-ASCII names pass through",
       kHead + Device("Графический адаптер 显卡", "Производитель", "1.0", "5/5/2024, 1 bytes") + kTail,
       {{"Графический адаптер 显卡", "Производитель", "1.0", "5/5/2024"}}},
      {"no display section", "Card name: X\nDriver Date/Size: 1/1/2000\n", {}},
      {"empty report", "", {}},
      {"no trailing newline",
       "Display Devices\nCard name: Last\nDriver Date/Size: 7/7/2007, 1 bytes",
       {{"Last", "", "", "7/7/2007"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(graphic_info::ParseDxDiagReport(c.report), c.expected) << c.label;
  }
}

TEST(DxDiagReport, HostileInputNeverCrashes) {
  std::mt19937 random(7);
  const std::string pieces[] = {"Display Devices\n", "Card name:", "Driver Date/Size:", ",", ":",
                                "\n", "\r", std::string(1, '\0'), "\xff\xfe", "Sound Devices",
                                "Manufacturer:", "Driver Version:"};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int n = static_cast<int>(random() % 40);
    for (int i = 0; i < n; ++i) {
      if (random() % 3 == 0) {
        text += static_cast<char>(random() % 256);
      } else {
        text += pieces[random() % std::size(pieces)];
      }
    }
    for (const auto& device : graphic_info::ParseDxDiagReport(text)) {
      EXPECT_EQ(device.driver_date.find(','), std::string::npos);
    }
  }
  // A very long report with many devices.
  std::string huge = "Display Devices\n";
  for (int i = 0; i < 20000; ++i) huge += "Card name: c\nDriver Date/Size: d, s\n";
  EXPECT_EQ(graphic_info::ParseDxDiagReport(huge).size(), 20000u);
}

TEST(GraphicVendor, FirstMatchingRuleWins) {
  struct Case {
    const char* vendor;
    const char* renderer;
    const char* expected;
  };
  const Case cases[] = {
      {"NVIDIA Corporation", "GeForce GTX 1060", "NVIDIA"},
      {"ATI Technologies Inc.", "whatever", "AMD"},
      {"", "Radeon RX 6600", "AMD"},
      {"AMD", "NVIDIA inside", "NVIDIA"},
      {"Intel", "Mesa Intel(R) UHD", "Intel"},
      {"Qualcomm", "Adreno 690", "Qualcomm"},
      {"", "nvidia geforce", "UNKNOWN"},
      {"", "nvidia via microsoft basic render", "Microsoft"},
      {"", "MICROSOFT BASIC RENDER DRIVER", "Microsoft"},
      {"intel", "lower-case intel", "UNKNOWN"},
      {"Mesa/X.org", "llvmpipe (LLVM 15.0.6, 256 bits)", "UNKNOWN"},
      {"SOME CORPORATION", "x", "AMD"},  // "ATI" inside a word counts too
      {"VMware, Inc.", "SVGA3D; build: RELEASE; LLVM;", "UNKNOWN"},
      {"", "", "UNKNOWN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(graphic_info::ClassifyVendor(c.vendor, c.renderer), c.expected)
        << c.vendor << " | " << c.renderer;
  }
  EXPECT_EQ(graphic_info::ClassifyVendor("", "NVIDIA, ATI"), "NVIDIA");
  EXPECT_EQ(graphic_info::ClassifyVendor("xATIx", ""), "AMD");
}

TEST(GraphicMemory, LargestNonHybridOfOneGiBElseLargestRenderAdapter) {
  using namespace base::hardware_detect;
  constexpr std::uint64_t GiB = 1ull << 30;
  const auto adapter = [](std::uint32_t type, std::uint64_t memory) {
    AdapterInfo info;
    info.adapter_type = type;
    info.dedicated_video_memory = memory;
    return info;
  };
  const std::uint32_t render = kAdapterRenderSupported;
  struct Case {
    const char* label;
    std::vector<AdapterInfo> adapters;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"none", {}, 0},
      {"discrete beats integrated", {adapter(render, 512ull << 20), adapter(render, 8 * GiB)}, 8 * GiB},
      {"hybrid large one is passed over",
       {adapter(render | kAdapterHybridIntegrated, 16 * GiB), adapter(render, 2 * GiB)}, 2 * GiB},
      {"nothing of 1 GiB: largest render adapter",
       {adapter(render, 128ull << 20), adapter(render | kAdapterHybridIntegrated, 900ull << 20)},
       900ull << 20},
      {"only hybrid: it still counts as fallback",
       {adapter(render | kAdapterHybridIntegrated, 4 * GiB)}, 4 * GiB},
      {"software and display-only adapters never count",
       {adapter(render | kAdapterSoftwareDevice, 32 * GiB), adapter(kAdapterDisplaySupported, 32 * GiB),
        adapter(render, 256ull << 20)},
       256ull << 20},
      {"exactly 1 GiB qualifies", {adapter(render, GiB), adapter(render | kAdapterHybridIntegrated, 3 * GiB)}, GiB},
  };
  for (const auto& c : cases) EXPECT_EQ(graphic_info::DedicatedGpuMemoryOf(c.adapters), c.expected) << c.label;
}

TEST(GraphicReportPath, ExecutableNameWithUnderscore) {
  EXPECT_EQ(graphic_info::DxDiagReportPath("/t", L"QuarrionUpdate.exe"), "/t/QuarrionUpdate_dxdiag.log");
  EXPECT_EQ(graphic_info::DxDiagReportPath("/t", L"Quarrion.exe"), "/t/Quarrion_dxdiag.log");
  EXPECT_EQ(graphic_info::DxDiagReportPath("/t", L"tool"), "/t/tooldxdiag.log");
}

}  // namespace
