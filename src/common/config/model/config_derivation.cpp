#include "common/config/model/config_derivation.h"

#include <cstdint>

#include "base/reg.h"
#include "common/config/model/json_parse.h"
#include "qtbaseex/helpers.h"

namespace config {
namespace {

constexpr wchar_t kWidth[] = L"Width";
constexpr wchar_t kHeight[] = L"Height";
constexpr wchar_t kDynamicAspectWidth[] = L"DynamicAspectWidth";
constexpr wchar_t kDynamicAspectHeight[] = L"DynamicAspectHeight";
constexpr wchar_t kClarity[] = L"Clarity";
constexpr wchar_t kAspectRatio[] = L"AspectRatio";

// An absent value reads as 0, which means "not set". Only the low 32 bits
// carry the setting.
std::int32_t ReadAppSetting(const std::wstring& subkey, const wchar_t* name) {
  const std::uint64_t raw = base::reg::GetValue(HKEY_CURRENT_USER, subkey, name, std::uint64_t{0});
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
}

// A package name is one registry key level; anything else would address
// some other key.
bool IsUsablePackageName(const std::string& package) {
  return !package.empty() && package.find('\\') == std::string::npos;
}

template <class Doc>
bool ParseInto(std::string_view text, Doc& out, std::vector<std::string>& errors) {
  std::string error;
  if (auto parsed = ParseDocument<Doc>(text, &error)) {
    out = std::move(*parsed);
    return true;
  }
  errors.push_back(std::move(error));
  return false;
}

}  // namespace

std::wstring AppSettingsRegSubkey(const std::string& package) {
  std::wstring subkey(kAppSettingsRegKey);
  subkey += L'\\';
  subkey += qtbaseex::gstring::ToWString(package);
  return subkey;
}

InsertDocuments ParseInsertDocuments(std::string_view host_text, std::string_view local_user_text,
                                     std::string_view global_text) {
  InsertDocuments docs;
  docs.host_read = ParseInto(host_text, docs.host, docs.errors);
  docs.local_user_read = ParseInto(local_user_text, docs.local_user, docs.errors);
  docs.global_read = ParseInto(global_text, docs.global, docs.errors);
  return docs;
}

RegistryMigration ReadRegistrySettings(const std::string& package, AppLocalUserConfig& local_user) {
  RegistryMigration migration;
  if (!IsUsablePackageName(package)) return migration;
  const std::wstring subkey = AppSettingsRegSubkey(package);

  if (const auto aspect = ReadAppSetting(subkey, kAspectRatio); aspect != 0) {
    local_user.aspect_ratio = static_cast<EnumCode>(aspect);
    migration.moved_values.emplace_back(kAspectRatio);
  }
  if (const auto clarity = ReadAppSetting(subkey, kClarity); clarity != 0) {
    local_user.clarity = static_cast<Clarity>(clarity);
    migration.moved_values.emplace_back(kClarity);
  }
  const auto width = ReadAppSetting(subkey, kWidth);
  const auto height = ReadAppSetting(subkey, kHeight);
  if (width != 0 || height != 0) {
    local_user.resolution = Size{width, height};
    migration.moved_values.emplace_back(kWidth);
    migration.moved_values.emplace_back(kHeight);
  }
  const auto aspect_width = ReadAppSetting(subkey, kDynamicAspectWidth);
  const auto aspect_height = ReadAppSetting(subkey, kDynamicAspectHeight);
  if (aspect_width != 0 || aspect_height != 0) {
    local_user.special_aspect_ratio = Size{aspect_width, aspect_height};
    migration.moved_values.emplace_back(kDynamicAspectWidth);
    migration.moved_values.emplace_back(kDynamicAspectHeight);
  }
  return migration;
}

void CommitRegistryMigration(const std::string& package, const RegistryMigration& migration) {
  if (!IsUsablePackageName(package)) return;
  const std::wstring subkey = AppSettingsRegSubkey(package);
  for (const auto& name : migration.moved_values) {
    // A value that is already gone is what we want; nothing to report.
    base::reg::DeleteValue(HKEY_CURRENT_USER, subkey, name, false);
  }
}

bool ApplyHostFrameGenDefaults(const AppHostConfig& host, AppLocalUserConfig& local_user) {
  if (host.default_frame_gen_enabled == local_user.applied_host_default_frame_gen_enabled &&
      host.default_frame_gen_mode == local_user.applied_host_default_frame_gen_mode) {
    return false;
  }
  if (host.default_frame_gen_enabled) local_user.default_frame_gen_on = *host.default_frame_gen_enabled;
  if (host.default_frame_gen_mode) local_user.low_latency_mode = *host.default_frame_gen_mode != 1;
  local_user.applied_host_default_frame_gen_mode = host.default_frame_gen_mode;
  local_user.applied_host_default_frame_gen_enabled = host.default_frame_gen_enabled;
  return true;
}

LocalUserDerivation DeriveLocalUserConfig(const std::string& package, InsertDocuments& docs) {
  LocalUserDerivation derived;
  derived.migration = ReadRegistrySettings(package, docs.local_user);
  if (docs.host_read) derived.frame_gen_changed = ApplyHostFrameGenDefaults(docs.host, docs.local_user);
  return derived;
}

}  // namespace config
