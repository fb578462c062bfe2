// The process-wide holder of every refreshed package's configuration: it
// stores the fetched documents in Configs.db, keeps a parsed copy per
// package, derives and stores the local user configuration, and writes the
// guest configuration file the emulator reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common/config/model/app_guest_config.h"
#include "common/config/model/app_host_config.h"
#include "common/config/model/app_local_user_config.h"
#include "common/config/model/nimbrel_global_config.h"
#include "common/config_table/config_table.h"
#include "common/data/native_config.h"

namespace config {

struct AppConfig {
  std::string package_name;
  std::string default_key_mapping;
  std::string smk;
  std::string guest_config;
  AppHostConfig host;
  AppLocalUserConfig local_user;
  NimbrelGlobalConfig global;
};

struct VramSnapshot {
  std::uint64_t free_mb = 0;
  std::string gpu_kind;
  std::int64_t taken_at = 0;  // steady clock, nanoseconds
};

// The free video memory under which texture compression is suggested.
inline constexpr std::uint64_t kFreeVramThresholdMb = 2048;
// Whether a reading is under the threshold (whole MiB, strictly below).
bool IsLowFreeVram(std::uint64_t free_mb);

class NimbrelConfigManager {
 public:
  static NimbrelConfigManager& Instance();
  // Drops the process-wide instance, so the next Instance() opens the
  // Configs.db of the current product home (tests switch homes).
  static void ResetInstanceForTesting();

  explicit NimbrelConfigManager(const std::filesystem::path& configs_db);
  NimbrelConfigManager(const NimbrelConfigManager&) = delete;
  NimbrelConfigManager& operator=(const NimbrelConfigManager&) = delete;

  void SaveNativeConfig(const NativeConfig& nc);
  // False when the table could not store it (the table reports why).
  bool SaveConfigValue(std::string_view key_format, const std::string& package, const std::string& text);
  void InsertAppConfig(const NativeConfig& nc);
  // Merges `patch` into the package's local user configuration and stores
  // it. False when the store failed.
  bool UpdateLocalUserConfig(const std::string& package, const AppLocalUserConfig& patch);
  void ApplyGuestConfig(const std::string& package);

  AppHostConfig GetAppHostConfig(const std::string& package) const;
  AppLocalUserConfig GetAppLocalUserConfig(const std::string& package) const;
  NimbrelGlobalConfig GetGlobalConfig() const;
  AppGuestConfig GetAppGuestConfig(const std::string& package) const;

  std::optional<VramSnapshot> GetVramSnapshot(const std::string& package) const;

 private:
  void PatchGuestConfig(std::string& text, const std::string& package);
  bool CheckFreeVramForAutoTune(const std::string& package);

  mutable std::shared_mutex lock;
  std::unordered_map<std::string, AppConfig> configs;
  // Packages whose record holds defaults in place of a stored local user
  // document that was not parsed (an earlier document was not JSON); under
  // `lock`. A patch of such a record starts from the stored document.
  std::unordered_set<std::string> local_user_unread;
  mutable std::mutex vram_mutex;
  std::unordered_map<std::string, VramSnapshot> vram_snapshots;
  config_table::ConfigTable config_table;
};

// The guest configuration file of a package:
// <shared directory>/config/<package>.conf.
std::filesystem::path GuestConfigFilePath(const std::string& package);

}  // namespace config
