// Display and feature defaults over documents and machine facts given as
// inputs, table by table: density from gears and size tiers, default
// clarity at 100/150/200 %, split-screen mode, orientation, and the
// texture-compression suggestion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config/display_defaults.h"
#include "common/config/model/app_guest_config.h"
#include "common/config/model/app_host_config.h"
#include "common/config/model/nimbrel_global_config.h"
#include "common/config/nimbrel_config_manager.h"
#include "common/setting_helper/setting_helper.h"
#include "support/log_recorder.h"

namespace {

using config::Clarity;
namespace hd = base::hardware_detect;
constexpr std::uint64_t kGiB = 1ull << 30;

config::NimbrelGlobalConfig Global(const std::string& text) {
  auto g = config::ParseNimbrelGlobalConfig(text);
  EXPECT_TRUE(g.has_value());
  return g.value_or(config::NimbrelGlobalConfig{});
}

config::AppHostConfig Host(const std::string& text) {
  auto h = config::ParseAppHostConfig(text);
  EXPECT_TRUE(h.has_value()) << text;
  return h.value_or(config::AppHostConfig{});
}

const char kTwoBands[] = R"({"aosp_dpi_gear": [
  {"mini_inch": 13.0, "max_inch": 15.6, "dpi_gear": [{"width": 1280, "height": 720, "dpi": 240}]},
  {"mini_inch": 15.6, "max_inch": 17.3, "dpi_gear": [{"width": 1920, "height": 1080, "dpi": 320}]}]})";

TEST(ScreenGearTest, BandsMatchWithTheToleranceAndFallBackToTheLast) {
  testenv::LogRecorder log;
  const auto global = Global(kTwoBands);
  struct Case { double inch; int dpi; bool fallback; };
  const Case cases[] = {
      {15.6, 240, false},   // 15.6 < 15.6 + 0.01: the first band holds the boundary
      {15.605, 240, false},
      {15.62, 320, false},
      {13.0, 240, false},
      {12.995, 240, false},  // within the tolerance below the first band
      {20.0, 320, true},
      {5.0, 320, true},
  };
  for (const Case& c : cases) {
    const std::size_t before = log.Count("GetScreenMatchGear return less dpi grear:");
    const auto gears = config::MatchScreenGear(global, c.inch);
    ASSERT_TRUE(gears.has_value()) << c.inch;
    ASSERT_EQ(gears->size(), 1u);
    EXPECT_EQ(gears->front().dpi, c.dpi) << c.inch;
    EXPECT_EQ(log.Count("GetScreenMatchGear return less dpi grear:") - before, c.fallback ? 1u : 0u) << c.inch;
  }
  EXPECT_FALSE(config::MatchScreenGear(Global("{}"), 15.6).has_value());
  EXPECT_FALSE(config::MatchScreenGear(Global(R"({"aosp_dpi_gear": []})"), 15.6).has_value());
}

TEST(GearDpiTest, HighestFittingGearElseTheLowest) {
  const std::vector<DpiGear> gears = {{1280, 720, 240}, {1920, 1080, 320}, {2560, 1440, 410}};
  struct Case { int w, h, dpi; };
  const Case cases[] = {
      {1600, 900, 240},    // 1835.7 is below 1920x1080's 2202.9, above 1280x720's 1468.6
      {1920, 1080, 320},   // equal diagonals match
      {1919, 1080, 240},
      {3840, 2160, 410},
      {800, 600, 240},     // nothing fits: the lowest
  };
  for (const Case& c : cases) {
    EXPECT_EQ(config::GearDpiFromList(gears, c.w, c.h), c.dpi) << c.w << "x" << c.h;
  }
  EXPECT_EQ(config::GearDpiFromList(std::nullopt, 1920, 1080), 0);
  // An empty band has no last gear: the size tiers decide.
  EXPECT_EQ(config::GearDpiFromList(std::vector<DpiGear>{}, 1920, 1080), 0);
  EXPECT_EQ(config::DpiForResolutionWith(std::vector<DpiGear>{}, 1920, 1080), 310);
}

TEST(GearDpiTest, SizeTiersWithoutGears) {
  struct Case { int w, h, dpi; };
  const Case cases[] = {
      {3840, 2160, 620}, {2500, 2500, 620}, {2560, 1440, 410}, {2000, 1500, 410}, {1920, 1080, 310},
      {1750, 1000, 310}, {1600, 900, 260},  {1250, 1000, 260}, {1280, 720, 240},  {1249, 1000, 240},
      {0, 0, 240},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(config::DpiForResolutionWith(std::nullopt, c.w, c.h), c.dpi) << c.w << "x" << c.h;
  }
}

TEST(ClarityTest, DensityPerCodeAndNothingForOthers) {
  const std::pair<int, int> table[] = {{1, 620}, {2, 410}, {3, 310}, {4, 260}, {5, 240}, {0, 0}, {6, 0}, {-1, 0}};
  for (const auto& [code, dpi] : table) {
    EXPECT_EQ(config::GetClarityDpi(static_cast<Clarity>(code)), dpi) << code;
  }
}

TEST(DefaultClarityTest, ScaledRuleMovesAnUnscaledScreenOneDown) {
  struct Case { int long_side, dpi, expected; };
  const Case cases[] = {
      {3840, 96, 2},    // 100 %: level 0, plus 1
      {3840, 144, 2},   // 150 %: logical 2560, level 1
      {3840, 192, 3},   // 200 %: logical 1920, level 2
      {1920, 96, 4},
      {2880, 144, 3},   // 150 %: logical 1920
      {1366, 96, 5},    // level 3, plus 1
      {1280, 120, 5},   // 125 %: logical 1024, level 4
      {7680, 96, 2},
      {2560, 96, 3},
      {0, 0, 5},        // no screen: no division by zero, the smallest preset
      {1920, 0, 4},     // no DPI answer counts as 100 %
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(setting_helper::DefaultClarityFor(std::nullopt, c.long_side, c.dpi)), c.expected)
        << c.long_side << " @ " << c.dpi;
    EXPECT_EQ(static_cast<int>(setting_helper::DefaultClarityFor(0, c.long_side, c.dpi)), c.expected);
  }
}

TEST(DefaultClarityTest, PhysicalRuleNeverGivesTheSmallest) {
  testenv::LogRecorder log;
  struct Case { int long_side, expected; };
  const Case cases[] = {{3840, 1}, {5120, 1}, {3839, 2}, {2560, 2}, {2559, 3}, {1920, 3}, {1919, 4}, {1280, 4}, {800, 4}};
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(setting_helper::DefaultClarityFor(1, c.long_side, 192)), c.expected) << c.long_side;
  }
  const auto lines = log.Containing("default use physical clarity");
  ASSERT_EQ(lines.size(), std::size(cases));
  EXPECT_EQ(lines[3].message, "default use physical clarity 2560 1");
  EXPECT_EQ(lines[3].function,
            "enum config::Clarity __cdecl setting_helper::GetDefaultClaritySize(const class "
            "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)");
}

TEST(SplitScreenModeTest, GrayRecord209Decides) {
  struct Case { const char* host; int mode; };
  const Case cases[] = {
      {R"({})", 2},
      {R"({"function_config": {}})", 2},
      {R"({"function_config": {"breadmenu_gray_config": []}})", 2},
      {R"({"function_config": {"breadmenu_gray_config": [{"item_id": 209, "need_gray": 0}]}})", 1},
      {R"({"function_config": {"breadmenu_gray_config": [{"item_id": 209, "need_gray": 1}]}})", 2},
      {R"({"function_config": {"breadmenu_gray_config": [{"item_id": 209}, {"item_id": 209, "need_gray": 0}]}})", 1},
      {R"({"function_config": {"breadmenu_gray_config": [{"need_gray": 1}, {"item_id": 209, "need_gray": 0}]}})", 1},
      {R"({"function_config": {"breadmenu_gray_config": [{"item_id": 208, "need_gray": 0}]}})", 2},
      {R"({"function_config": {"breadmenu_gray_config": [{"item_id": 209, "need_gray": 0}, {"item_id": 209, "need_gray": 1}]}})", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(config::SplitScreenModeOf(Host(c.host)), c.mode) << c.host;
}

TEST(OrientationTest, OnlyRotationZeroGivesZero) {
  EXPECT_EQ(config::DefaultOrientationOf(Host("{}")), 1);
  EXPECT_EQ(config::DefaultOrientationOf(Host(R"({"rotation": 0})")), 0);
  EXPECT_EQ(config::DefaultOrientationOf(Host(R"({"rotation": 2})")), 1);
  EXPECT_EQ(config::DefaultOrientationOf(Host(R"({"rotation": 1})")), 1);
}

hd::AdapterInfo Adapter(std::uint32_t bits, std::uint64_t vram) {
  hd::AdapterInfo a;
  a.adapter_type = bits;
  a.dedicated_video_memory = vram;
  return a;
}

TEST(TextureCompressionTest, ThresholdsAndAdapters) {
  const std::uint32_t render = hd::kAdapterRenderSupported;
  const std::uint32_t integrated = render | hd::kAdapterHybridIntegrated;
  const std::uint32_t software = render | hd::kAdapterSoftwareDevice;
  config::AppGuestConfig defaults;
  config::AppGuestConfig raised = *config::ParseAppGuestConfig(
      R"({"low_system_memory_threshold_gb": 32, "low_discrete_vram_threshold_gb": 8})");
  struct Case {
    const char* name;
    const config::AppGuestConfig* guest;
    bool win10;
    std::optional<std::vector<hd::AdapterInfo>> adapters;
    std::uint64_t memory;
    bool expected;
  };
  const Case cases[] = {
      {"8 GiB, integrated only", &defaults, true, std::vector{Adapter(integrated, 0)}, 8 * kGiB, true},
      {"16 GiB exactly, integrated", &defaults, true, std::vector{Adapter(integrated, 0)}, 16 * kGiB, false},
      {"memory unknown", &defaults, true, std::vector{Adapter(integrated, 0)}, 0, false},
      {"discrete 6 GiB", &defaults, true, std::vector{Adapter(render, 6 * kGiB)}, 8 * kGiB, false},
      {"discrete 3 GiB", &defaults, true, std::vector{Adapter(render, 3 * kGiB)}, 64 * kGiB, true},
      {"discrete 4 GiB exactly", &defaults, true, std::vector{Adapter(render, 4 * kGiB)}, 8 * kGiB, false},
      {"largest discrete counts", &defaults, true,
       std::vector{Adapter(render, 2 * kGiB), Adapter(render, 6 * kGiB)}, 8 * kGiB, false},
      {"under 1 GiB is not discrete", &defaults, true, std::vector{Adapter(render, kGiB - 1)}, 32 * kGiB, false},
      {"1 GiB exactly is discrete", &defaults, true, std::vector{Adapter(render, kGiB)}, 32 * kGiB, true},
      {"hybrid with much VRAM is integrated", &defaults, true, std::vector{Adapter(integrated, 8 * kGiB)}, 8 * kGiB, true},
      {"software only", &defaults, true, std::vector{Adapter(software, 0)}, 8 * kGiB, false},
      {"no adapter", &defaults, true, std::vector<hd::AdapterInfo>{}, 8 * kGiB, false},
      {"enumeration failed", &defaults, true, std::nullopt, 8 * kGiB, false},
      {"older Windows", &defaults, false, std::vector{Adapter(integrated, 0)}, 8 * kGiB, false},
      {"raised thresholds, 6 GiB discrete", &raised, true, std::vector{Adapter(render, 6 * kGiB)}, 8 * kGiB, true},
      {"raised thresholds, 24 GiB integrated", &raised, true, std::vector{Adapter(integrated, 0)}, 24 * kGiB, true},
  };
  for (const Case& c : cases) {
    config::TextureCompressionFacts facts;
    facts.win10_or_above = c.win10;
    facts.adapters = c.adapters;
    facts.total_memory = c.memory;
    EXPECT_EQ(config::SuggestTextureCompression(*c.guest, facts), c.expected) << c.name;
  }
}

TEST(TextureCompressionTest, LogsTheThresholdsInUse) {
  testenv::LogRecorder log;
  config::TextureCompressionFacts facts;
  config::SuggestTextureCompression(*config::ParseAppGuestConfig(R"({"low_discrete_vram_threshold_gb": 6})"), facts);
  config::SuggestTextureCompression(config::AppGuestConfig{}, facts);
  const auto lines = log.Containing("[SuggestedTC]");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message,
            "[SuggestedTC] cfg.low_sys_mem_gb=0 cfg.low_disc_vram_gb=6 used_low_sys_mem_bytes=17179869184 "
            "used_low_disc_vram_bytes=6442450944");
  EXPECT_EQ(lines[1].message,
            "[SuggestedTC] cfg.low_sys_mem_gb=0 cfg.low_disc_vram_gb=0 used_low_sys_mem_bytes=17179869184 "
            "used_low_disc_vram_bytes=4294967296");
  EXPECT_EQ(lines[0].category, "quarrion.emulator_config");
}

TEST(FreeVramTest, RenderCardReadingAgainstTheThreshold) {
  constexpr std::uint64_t kMiB = 1ull << 20;
  struct Case { std::uint64_t free_bytes; std::uint64_t free_mb; bool hit; };
  const Case cases[] = {
      {2047 * kMiB, 2047, true},
      {2048 * kMiB, 2048, false},
      {2048 * kMiB - 1, 2047, true},  // a part of a MiB does not count
      {0, 0, true},
      {12 * kGiB, 12288, false},
  };
  for (const Case& c : cases) {
    platform::gpu::DrmAdapter card;
    card.card = "card0";
    card.driver = "amdgpu";
    card.has_render_node = true;
    card.vram_total_bytes = 16 * kGiB;
    card.vram_used_bytes = 16 * kGiB - c.free_bytes;
    const auto snap = hd::RenderAdapterFreeMemory({hd::AdapterFromDrm(card)});
    EXPECT_EQ(snap.free_mb, c.free_mb);
    EXPECT_EQ(config::IsLowFreeVram(snap.free_mb), c.hit) << c.free_mb;
  }
}

}  // namespace
