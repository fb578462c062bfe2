// Display and feature defaults of one Android package, derived from its
// documents, its registry settings and the machine: the Android display
// density, the split-screen switch and mode, the split pane's default
// orientation, and whether texture compression should be on by default.
//
// Each default has a pure form over its inputs (documents and machine facts),
// which the tests drive table by table, and the form the product calls,
// which reads the inputs from the configuration manager and the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/hardware_detect.h"
#include "common/config/model/app_guest_config.h"
#include "common/config/model/app_host_config.h"
#include "common/config/model/clarity.h"
#include "common/config/model/dpi_gear.h"
#include "common/config/model/nimbrel_global_config.h"

namespace config {

// 1 -> 620, 2 -> 410, 3 -> 310, 4 -> 260, 5 -> 240; 0 for any other code
// (a stored clarity can hold any number; callers treat 0 as "none").
int GetClarityDpi(Clarity clarity);
// The Clarity of a resolution by the size tiers of width + height.
Clarity ClarityForSize(int width, int height);

// The "dpi_gear" list of the band that holds a screen of `inch` inches; the
// last band when none does; absent without bands.
std::optional<std::vector<DpiGear>> MatchScreenGear(const NimbrelGlobalConfig& global, double inch);
// The density of the gear that fits width x height; 0 without gears.
int GearDpiFromList(std::optional<std::vector<DpiGear>> gears, int width, int height);
// The gear density, else the size tier's.
int DpiForResolutionWith(const std::optional<std::vector<DpiGear>>& gears, int width, int height);

// 1 when split screen is offered (host gray record 209 with need_gray 0), else 2.
int SplitScreenModeOf(const AppHostConfig& host);
// 1 unless the host's "rotation" is 0.
int DefaultOrientationOf(const AppHostConfig& host);

struct TextureCompressionFacts {
  bool win10_or_above = true;
  std::optional<std::vector<base::hardware_detect::AdapterInfo>> adapters;  // none: enumeration failed
  std::uint64_t total_memory = 0;  // bytes, 0 when unknown
};
// Logs the thresholds in use, then answers.
bool SuggestTextureCompression(const AppGuestConfig& nimbrel_guest, const TextureCompressionFacts& facts);

// The forms the product calls.
std::optional<std::vector<DpiGear>> GetScreenMatchGear(const NimbrelGlobalConfig& global);
int GetGearDpi(int width, int height);
int GetDpiForResolution(int width, int height);
unsigned GetVmDpi(const std::string& package);
bool IsSplitScreenChecked(const std::string& package);
int GetSplitScreenMode(const std::string& package);
int GetDefaultOrientation(const std::string& package);
bool GetSuggestedTextureCompressionDefault();

}  // namespace config
