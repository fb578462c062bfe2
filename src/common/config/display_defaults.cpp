#include "common/config/display_defaults.h"

#include <algorithm>
#include <cmath>

#include "base/system.h"
#include "common/config/nimbrel_config_manager.h"
#include "common/setting_helper/setting_helper.h"
#include "qtbaseex/helpers.h"
#include "qtbaseex/log/categories.h"
#include "common/config/config_log.h"
#include "qtbaseex/qdebug_ext.h"

namespace config {
namespace {


// 0.01 as the product holds it (single precision), compared in double.
constexpr double kTolerance = static_cast<double>(0.01f);
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr char kNimbrelPackage[] = "com.morvath.nimbrel";

constexpr char kSplitScreenCheckedSignature[] =
    "bool __cdecl config::IsSplitScreenChecked(const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &)";

}  // namespace

int GetClarityDpi(Clarity clarity) {
  switch (clarity) {
    case Clarity::k3840x2160: return 620;
    case Clarity::k2560x1440: return 410;
    case Clarity::k1920x1080: return 310;
    case Clarity::k1600x900: return 260;
    case Clarity::k1280x720: return 240;
  }
  return 0;
}

Clarity ClarityForSize(int width, int height) {
  // Wrapping like the product's 32-bit sum; only absurd sizes get there.
  const std::int32_t s = static_cast<std::int32_t>(static_cast<std::uint32_t>(width) +
                                                   static_cast<std::uint32_t>(height));
  if (s >= 5000) return Clarity::k3840x2160;
  if (s >= 3500) return Clarity::k2560x1440;
  if (s >= 2750) return Clarity::k1920x1080;
  if (s >= 2250) return Clarity::k1600x900;
  return Clarity::k1280x720;
}

std::optional<std::vector<DpiGear>> MatchScreenGear(const NimbrelGlobalConfig& global, double inch) {
  if (!global.aosp_dpi_gear || global.aosp_dpi_gear->empty()) return std::nullopt;
  const double narrowed = static_cast<float>(inch);
  for (const DpiGearBand& band : *global.aosp_dpi_gear) {
    if (narrowed > static_cast<double>(band.mini_inch) - kTolerance &&
        static_cast<double>(band.max_inch) + kTolerance > narrowed) {
      return band.dpi_gear;
    }
  }
  CONFIG_LOG(info, lc_default,
                "class std::optional<class std::vector<struct DpiGear,class std::allocator<struct "
                "DpiGear> > > __cdecl `anonymous-namespace'::GetScreenMatchGear(const struct "
                "config::NimbrelGlobalConfig &)")
      << "GetScreenMatchGear return less dpi grear:";
  return global.aosp_dpi_gear->back().dpi_gear;
}

int GearDpiFromList(std::optional<std::vector<DpiGear>> gears, int width, int height) {
  // An empty band has nothing to fall back on: the size tiers decide.
  if (!gears || gears->empty()) return 0;
  std::sort(gears->begin(), gears->end(), [](const DpiGear& a, const DpiGear& b) { return a.dpi > b.dpi; });
  const double d = std::sqrt(static_cast<double>(width) * width + static_cast<double>(height) * height);
  for (const DpiGear& gear : *gears) {
    const double e = std::sqrt(static_cast<double>(gear.width) * gear.width +
                               static_cast<double>(gear.height) * gear.height);
    if (std::fabs(d - e) < kTolerance || d > e - kTolerance) return gear.dpi;
  }
  return gears->back().dpi;
}

int DpiForResolutionWith(const std::optional<std::vector<DpiGear>>& gears, int width, int height) {
  if (const int dpi = GearDpiFromList(gears, width, height); dpi != 0) return dpi;
  return GetClarityDpi(ClarityForSize(width, height));
}

int SplitScreenModeOf(const AppHostConfig& host) {
  if (!host.function_config || !host.function_config->breadmenu_gray_config) return 2;
  for (const GrayRecord& record : *host.function_config->breadmenu_gray_config) {
    // A record without an item or a gray flag says nothing: skipped.
    if (!record.item_id || static_cast<std::int32_t>(*record.item_id) != 209 || !record.need_gray) continue;
    return *record.need_gray != 0 ? 2 : 1;
  }
  return 2;
}

int DefaultOrientationOf(const AppHostConfig& host) {
  const std::int64_t rotation = host.rotation ? static_cast<std::int64_t>(*host.rotation) : 3;
  return rotation != 0 ? 1 : 0;
}

bool SuggestTextureCompression(const AppGuestConfig& guest, const TextureCompressionFacts& facts) {
  const std::uint64_t sys_gb = guest.low_system_memory_threshold_gb.value_or(16);
  const std::uint64_t vram_gb = guest.low_discrete_vram_threshold_gb.value_or(4);
  const std::uint64_t sys_bytes = sys_gb * kGiB;
  const std::uint64_t vram_bytes = vram_gb * kGiB;
  CONFIG_LOG(info, lc_emulator_config,
                "bool __cdecl config::GetSuggestedTextureCompressionDefault::<lambda_1>::operator ()(void) const")
          .nospace()
      << "[SuggestedTC] cfg.low_sys_mem_gb=" << guest.low_system_memory_threshold_gb.value_or(0)
      << " cfg.low_disc_vram_gb=" << guest.low_discrete_vram_threshold_gb.value_or(0)
      << " used_low_sys_mem_bytes=" << static_cast<qulonglong>(sys_bytes)
      << " used_low_disc_vram_bytes=" << static_cast<qulonglong>(vram_bytes);

  if (!facts.win10_or_above) return false;
  if (!facts.adapters) return false;
  bool any_render = false;
  std::optional<std::uint64_t> discrete_vram;
  for (const auto& a : *facts.adapters) {
    const bool render = (a.adapter_type & base::hardware_detect::kAdapterRenderSupported) != 0 &&
                        (a.adapter_type & base::hardware_detect::kAdapterSoftwareDevice) == 0;
    if (!render) continue;
    any_render = true;
    if ((a.adapter_type & base::hardware_detect::kAdapterHybridIntegrated) == 0 &&
        a.dedicated_video_memory >= kGiB) {
      discrete_vram = std::max(discrete_vram.value_or(0), a.dedicated_video_memory);
    }
  }
  if (!any_render) return false;
  if (!discrete_vram) return facts.total_memory != 0 && facts.total_memory < sys_bytes;
  return *discrete_vram < vram_bytes;
}

std::optional<std::vector<DpiGear>> GetScreenMatchGear(const NimbrelGlobalConfig& global) {
  if (!global.aosp_dpi_gear || global.aosp_dpi_gear->empty()) return std::nullopt;
  return MatchScreenGear(global, qtbaseex::monitor::GetScreenPhysicalInch());
}

int GetGearDpi(int width, int height) {
  const NimbrelGlobalConfig global = NimbrelConfigManager::Instance().GetGlobalConfig();
  return GearDpiFromList(GetScreenMatchGear(global), width, height);
}

int GetDpiForResolution(int width, int height) {
  if (const int dpi = GetGearDpi(width, height); dpi != 0) return dpi;
  return GetClarityDpi(ClarityForSize(width, height));
}

unsigned GetVmDpi(const std::string& package) {
  NimbrelConfigManager& manager = NimbrelConfigManager::Instance();
  const AppHostConfig host = manager.GetAppHostConfig(package);
  if (host.dpi) return *host.dpi;
  AppLocalUserConfig local = manager.GetAppLocalUserConfig(package);
  if (local.resolution && local.resolution->first > 0 && local.resolution->second > 0) {
    return static_cast<unsigned>(GetDpiForResolution(local.resolution->first, local.resolution->second));
  }
  if (local.clarity) {
    if (const int dpi = GetClarityDpi(*local.clarity); dpi != 0) return static_cast<unsigned>(dpi);
  }
  const Clarity clarity = setting_helper::GetDefaultClaritySize(package);
  AppLocalUserConfig patch;
  patch.clarity = clarity;
  manager.UpdateLocalUserConfig(package, patch);
  return static_cast<unsigned>(GetClarityDpi(clarity));
}

bool IsSplitScreenChecked(const std::string& package) {
  NimbrelConfigManager& manager = NimbrelConfigManager::Instance();
  const AppLocalUserConfig local = manager.GetAppLocalUserConfig(package);
  if (local.split_screen) {
    CONFIG_LOG(info, lc_default, kSplitScreenCheckedSignature)
        << "IsSplitScreenChecked user setting split screen, pkg: " << package << "checked: "
        << *local.split_screen;
    return *local.split_screen;
  }
  const AppGuestConfig guest = manager.GetAppGuestConfig(package);
  if (!guest.multipane || !guest.multipane->enable) return false;
  const bool result = *guest.multipane->enable == "true";
  CONFIG_LOG(info, lc_default, kSplitScreenCheckedSignature)
      << "IsSplitScreenDefaultChecked, pkg: " << package << "checked: " << result;
  return result;
}

int GetSplitScreenMode(const std::string& package) {
  return SplitScreenModeOf(NimbrelConfigManager::Instance().GetAppHostConfig(package));
}

int GetDefaultOrientation(const std::string& package) {
  return DefaultOrientationOf(NimbrelConfigManager::Instance().GetAppHostConfig(package));
}

bool GetSuggestedTextureCompressionDefault() {
  const AppGuestConfig guest = NimbrelConfigManager::Instance().GetAppGuestConfig(kNimbrelPackage);
  TextureCompressionFacts facts;
  facts.win10_or_above = base::system::IsWin10OrAbove();
  // Read the machine only when the answer depends on it.
  if (facts.win10_or_above) {
    facts.adapters = base::hardware_detect::EnumerateAdapters();
    facts.total_memory = base::hardware_detect::GetGlobalMemorySummary().total_phys;
  }
  return SuggestTextureCompression(guest, facts);
}

}  // namespace config
