#include "common/data/native_config.h"

#include <unordered_map>

#include "common/config/model/config_derivation.h"

namespace config {
namespace {

// Built before the main routine runs; read-only afterwards.
const std::unordered_map<std::string_view, NativeConfigKind> kResponseKeys = {
    {"keymapping", NativeConfigKind::KeyMapping},
    {"smartkeyconf", NativeConfigKind::Smk},
    {"configfile", NativeConfigKind::GuestConfig},
    {"appconfigjson", NativeConfigKind::HostConfig},
    {"globalconfig", NativeConfigKind::GlobalConfig},
};

const std::unordered_map<NativeConfigKind, std::string_view> kStorageKeys = {
    {NativeConfigKind::KeyMapping, kDefaultKeyMappingKey},
    {NativeConfigKind::Smk, kSmkKey},
    {NativeConfigKind::GuestConfig, kGuestConfigKey},
    {NativeConfigKind::HostConfig, kHostConfigKey},
    {NativeConfigKind::LocalUserConfig, kLocalUserConfigKey},
    {NativeConfigKind::GlobalConfig, kGlobalConfigKey},
};

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<NativeConfigKind> KindOfResponseKey(std::string_view key) {
  const auto it = kResponseKeys.find(key);
  if (it == kResponseKeys.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string_view> StorageKeyFormat(NativeConfigKind kind) {
  const auto it = kStorageKeys.find(kind);
  if (it == kStorageKeys.end()) return std::nullopt;
  return it->second;
}

std::string& FieldOf(NativeConfig& config, NativeConfigKind kind) {
  switch (kind) {
    case NativeConfigKind::KeyMapping: return config.default_key_mapping;
    case NativeConfigKind::Smk: return config.smk;
    case NativeConfigKind::GuestConfig: return config.guest_config;
    case NativeConfigKind::HostConfig: return config.host_config;
    case NativeConfigKind::LocalUserConfig: return config.local_user_config;
    case NativeConfigKind::GlobalConfig: return config.global_config;
  }
  return config.global_config;  // unreachable for the six kinds
}

bool IsValidPackageName(std::string_view name) {
  if (name.empty() || name.size() > kMaxPackageNameLength) return false;
  int segments = 0;
  bool segment_start = true;
  for (const char c : name) {
    if (c == '.') {
      if (segment_start) return false;  // empty segment
      segment_start = true;
      continue;
    }
    if (segment_start) {
      if (!IsAsciiLetter(c)) return false;
      segment_start = false;
      ++segments;
      continue;
    }
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '_') return false;
  }
  return !segment_start && segments >= 2;
}

}  // namespace config
