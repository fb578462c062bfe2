// Per-application display settings kept as numbers in the registry of the
// current user (one subkey per package), the global split-screen switch, and
// the default clarity of a package that has none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/config/model/clarity.h"

namespace setting_helper {

// HKEY_CURRENT_USER subkeys.
inline constexpr wchar_t kAppSettingsKey[] = L"SOFTWARE\\Morvath\\Quarrion\\Settings\\App";
inline constexpr wchar_t kQuarrionSettingsKey[] = L"SOFTWARE\\Morvath\\Quarrion\\Settings\\Quarrion";

// Value names under a package's subkey.
inline constexpr wchar_t kWidthValue[] = L"Width";
inline constexpr wchar_t kHeightValue[] = L"Height";
inline constexpr wchar_t kDynamicAspectWidthValue[] = L"DynamicAspectWidth";
inline constexpr wchar_t kDynamicAspectHeightValue[] = L"DynamicAspectHeight";
inline constexpr wchar_t kClarityValue[] = L"Clarity";
inline constexpr wchar_t kAspectRatioValue[] = L"AspectRatio";

// "<kAppSettingsKey>\<package>".
std::wstring AppSubkey(const std::wstring& package);

// The low 32 bits of the value; 0 (nothing set) when absent.
std::int32_t GetWidth(const std::wstring& package);
std::int32_t GetHeight(const std::wstring& package);
std::int32_t GetDynamicAspectWidth(const std::wstring& package);
std::int32_t GetDynamicAspectHeight(const std::wstring& package);
std::int32_t GetClarity(const std::wstring& package);
std::int32_t GetAspectRatio(const std::wstring& package);

// Failures are ignored: a value left behind is moved again next time.
void DeleteWidth(const std::wstring& package);
void DeleteHeight(const std::wstring& package);
void DeleteDynamicAspectWidth(const std::wstring& package);
void DeleteDynamicAspectHeight(const std::wstring& package);
void DeleteClarity(const std::wstring& package);
void DeleteAspectRatio(const std::wstring& package);

// The global split-screen switch; on when absent.
bool IsSplitScreenSwitchOn();

// level(x): how many of 3840, 2560, 1920, 1280 lie above x (0..4).
int ScreenSizeLevel(int pixels);

// The default clarity for a screen whose longer side is `long_side` pixels
// at `logical_dpi` (96 = 100 %), given the host configuration's
// "default_physical_resolution". A DPI that is not positive counts as 96.
config::Clarity DefaultClarityFor(std::optional<std::int32_t> default_physical_resolution,
                                  int long_side, int logical_dpi);

// The clarity for a package that has none: from its host configuration and
// the primary screen.
config::Clarity GetDefaultClaritySize(const std::string& package);

}  // namespace setting_helper
