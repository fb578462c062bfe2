#include "common/setting_helper/setting_helper.h"

#include <algorithm>

#include "base/reg.h"
#include "common/config/nimbrel_config_manager.h"
#include "qtbaseex/log/categories.h"
#include "common/config/config_log.h"
#include "qtbaseex/monitor/screen_facts.h"
#include "qtbaseex/qdebug_ext.h"

namespace setting_helper {
namespace {

std::int32_t ReadNumber(const std::wstring& package, const wchar_t* name) {
  const std::uint64_t raw = base::reg::GetValue(HKEY_CURRENT_USER, AppSubkey(package), name, std::uint64_t{0});
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
}

void DeleteNumber(const std::wstring& package, const wchar_t* name) {
  static_cast<void>(base::reg::DeleteValue(HKEY_CURRENT_USER, AppSubkey(package), name, false));
}


}  // namespace

std::wstring AppSubkey(const std::wstring& package) {
  return std::wstring(kAppSettingsKey) + L"\\" + package;
}

std::int32_t GetWidth(const std::wstring& p) { return ReadNumber(p, kWidthValue); }
std::int32_t GetHeight(const std::wstring& p) { return ReadNumber(p, kHeightValue); }
std::int32_t GetDynamicAspectWidth(const std::wstring& p) { return ReadNumber(p, kDynamicAspectWidthValue); }
std::int32_t GetDynamicAspectHeight(const std::wstring& p) { return ReadNumber(p, kDynamicAspectHeightValue); }
std::int32_t GetClarity(const std::wstring& p) { return ReadNumber(p, kClarityValue); }
std::int32_t GetAspectRatio(const std::wstring& p) { return ReadNumber(p, kAspectRatioValue); }

void DeleteWidth(const std::wstring& p) { DeleteNumber(p, kWidthValue); }
void DeleteHeight(const std::wstring& p) { DeleteNumber(p, kHeightValue); }
void DeleteDynamicAspectWidth(const std::wstring& p) { DeleteNumber(p, kDynamicAspectWidthValue); }
void DeleteDynamicAspectHeight(const std::wstring& p) { DeleteNumber(p, kDynamicAspectHeightValue); }
void DeleteClarity(const std::wstring& p) { DeleteNumber(p, kClarityValue); }
void DeleteAspectRatio(const std::wstring& p) { DeleteNumber(p, kAspectRatioValue); }

bool IsSplitScreenSwitchOn() {
  return base::reg::GetValue(HKEY_CURRENT_USER, kQuarrionSettingsKey, L"SplitScreen", std::uint64_t{1}) != 0;
}

int ScreenSizeLevel(int x) { return (x < 3840) + (x < 2560) + (x < 1920) + (x < 1280); }

config::Clarity DefaultClarityFor(std::optional<std::int32_t> default_physical_resolution,
                                  int long_side, int logical_dpi) {
  if (default_physical_resolution && *default_physical_resolution == 1) {
    CONFIG_LOG(info, config::lc_default,
                  "enum config::Clarity __cdecl setting_helper::GetDefaultClaritySize(const class "
                  "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)")
        << "default use physical clarity" << long_side << ScreenSizeLevel(long_side);
    return static_cast<config::Clarity>(std::min(ScreenSizeLevel(long_side) + 1, 4));
  }
  // No screen answer means no scaling, not a division by zero.
  const int dpi = logical_dpi > 0 ? logical_dpi : 96;
  const float scale = static_cast<float>(dpi) / 96.0f;
  const int logical = static_cast<int>(static_cast<float>(long_side) / scale);
  const int n = ScreenSizeLevel(logical) + (scale == 1.0f ? 1 : 0);
  return static_cast<config::Clarity>(std::min(n + 1, 5));
}

config::Clarity GetDefaultClaritySize(const std::string& package) {
  const config::AppHostConfig host = config::NimbrelConfigManager::Instance().GetAppHostConfig(package);
  const qtbaseex::monitor::ScreenFacts screen = qtbaseex::monitor::GetPrimaryScreenFacts();
  return DefaultClarityFor(host.default_physical_resolution, std::max(screen.width, screen.height),
                           screen.logical_dpi);
}

}  // namespace setting_helper
