#include "common/config/model/config_derivation.h"

#include <cstdint>

#include "common/config/model/json_parse.h"
#include "common/setting_helper/setting_helper.h"
#include "qtbaseex/helpers.h"

namespace config {
namespace {

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
  return setting_helper::AppSubkey(qtbaseex::gstring::ToWString(package));
}

InsertDocuments ParseInsertDocuments(std::string_view host_text, std::string_view local_user_text,
                                     std::string_view global_text) {
  InsertDocuments docs;
  // The first document that is not JSON ends the parsing: it and the ones
  // after it keep their defaults.
  docs.host_read = ParseInto(host_text, docs.host, docs.errors);
  if (!docs.host_read) return docs;
  docs.local_user_read = ParseInto(local_user_text, docs.local_user, docs.errors);
  if (!docs.local_user_read) return docs;
  docs.global_read = ParseInto(global_text, docs.global, docs.errors);
  return docs;
}

RegistryMigration ReadRegistrySettings(const std::string& package, AppLocalUserConfig& local_user) {
  using namespace setting_helper;
  RegistryMigration migration;
  if (!IsUsablePackageName(package)) return migration;
  const std::wstring wide = qtbaseex::gstring::ToWString(package);

  if (const auto aspect = GetAspectRatio(wide); aspect != 0) {
    local_user.aspect_ratio = static_cast<EnumCode>(aspect);
    migration.moved_values.emplace_back(kAspectRatioValue);
  }
  if (const auto clarity = GetClarity(wide); clarity != 0) {
    local_user.clarity = static_cast<Clarity>(clarity);
    migration.moved_values.emplace_back(kClarityValue);
  }
  const auto width = GetWidth(wide);
  const auto height = GetHeight(wide);
  if (width != 0 || height != 0) {
    local_user.resolution = Size{width, height};
    migration.moved_values.emplace_back(kWidthValue);
    migration.moved_values.emplace_back(kHeightValue);
  }
  const auto aspect_width = GetDynamicAspectWidth(wide);
  const auto aspect_height = GetDynamicAspectHeight(wide);
  if (aspect_width != 0 || aspect_height != 0) {
    local_user.special_aspect_ratio = Size{aspect_width, aspect_height};
    migration.moved_values.emplace_back(kDynamicAspectWidthValue);
    migration.moved_values.emplace_back(kDynamicAspectHeightValue);
  }
  return migration;
}

void CommitRegistryMigration(const std::string& package, const RegistryMigration& migration) {
  using namespace setting_helper;
  if (!IsUsablePackageName(package)) return;
  struct Deleter {
    const wchar_t* name;
    void (*remove)(const std::wstring& package);
  };
  static constexpr Deleter kDeleters[] = {
      {kAspectRatioValue, &DeleteAspectRatio},
      {kClarityValue, &DeleteClarity},
      {kWidthValue, &DeleteWidth},
      {kHeightValue, &DeleteHeight},
      {kDynamicAspectWidthValue, &DeleteDynamicAspectWidth},
      {kDynamicAspectHeightValue, &DeleteDynamicAspectHeight},
  };
  const std::wstring wide = qtbaseex::gstring::ToWString(package);
  for (const auto& name : migration.moved_values) {
    for (const Deleter& deleter : kDeleters) {
      if (name == deleter.name) deleter.remove(wide);
    }
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
  derived.frame_gen_changed = ApplyHostFrameGenDefaults(docs.host, docs.local_user);
  derived.stored_document_read = docs.host_read;
  return derived;
}

}  // namespace config
