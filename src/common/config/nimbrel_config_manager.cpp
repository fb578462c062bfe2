#include "common/config/nimbrel_config_manager.h"

#include <fmt/format.h>

#include <chrono>
#include <memory>

#include "base/gstring.h"
#include "base/hardware_detect.h"
#include "base/multi_inst.h"
#include "base/system.h"
#include "common/config/display_defaults.h"
#include "common/config/model/config_derivation.h"
#include "common/config/model/json_parse.h"
#include "common/setting_helper/setting_helper.h"
#include "platform/diagnostics.h"
#include "qtbaseex/helpers.h"
#include "qtbaseex/log/categories.h"
#include "common/config/config_log.h"
#include "qtbaseex/qdebug_ext.h"

namespace config {
namespace {


constexpr char kInsertSignature[] =
    "void __cdecl config::NimbrelConfigManager::InsertAppConfig(const struct config::NativeConfig &)";
constexpr char kGetHostSignature[] =
    "struct config::AppHostConfig __cdecl config::NimbrelConfigManager::GetAppHostConfig(const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &) const";
constexpr char kGetGuestSignature[] =
    "struct config::AppGuestConfig __cdecl config::NimbrelConfigManager::GetAppGuestConfig(const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &) const";
constexpr char kApplyGuestSignature[] =
    "void __cdecl config::NimbrelConfigManager::ApplyGuestConfig(const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &)";
constexpr char kPatchSignature[] =
    "void __cdecl `anonymous-namespace'::PatchGuestConfig(class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &,const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &)";
constexpr char kVramSignature[] =
    "bool __cdecl `anonymous-namespace'::PatchGuestConfig::<lambda_1>::operator ()(void) const";
constexpr char kNimbrelPackage[] = "com.morvath.nimbrel";

struct InstanceHolder {
  std::mutex mutex;
  std::unique_ptr<NimbrelConfigManager> manager;
};

InstanceHolder& Holder() {
  static InstanceHolder holder;
  return holder;
}

}  // namespace

NimbrelConfigManager& NimbrelConfigManager::Instance() {
  InstanceHolder& holder = Holder();
  std::lock_guard guard(holder.mutex);
  if (!holder.manager) {
    holder.manager = std::make_unique<NimbrelConfigManager>(config_table::ConfigTable::GetConfigsDbPath());
  }
  return *holder.manager;
}

void NimbrelConfigManager::ResetInstanceForTesting() {
  InstanceHolder& holder = Holder();
  std::lock_guard guard(holder.mutex);
  holder.manager.reset();
}

NimbrelConfigManager::NimbrelConfigManager(const std::filesystem::path& configs_db)
    : config_table(configs_db) {
  configs.max_load_factor(1.0f);
  configs.rehash(8);
  vram_snapshots.max_load_factor(1.0f);
  vram_snapshots.rehash(8);
}

bool NimbrelConfigManager::SaveConfigValue(std::string_view key_format, const std::string& package,
                                           const std::string& text) {
  config_table::ConfigRecord record;
  record.key = fmt::format(fmt::runtime(key_format), package);
  record.value = text;
  record.encrypt = false;
  return config_table.Save(record);
}

void NimbrelConfigManager::SaveNativeConfig(const NativeConfig& nc) {
  SaveConfigValue(kHostConfigKey, nc.package_name, nc.host_config);
  SaveConfigValue(kGuestConfigKey, nc.package_name, nc.guest_config);
  SaveConfigValue(kGlobalConfigKey, nc.package_name, nc.global_config);
  SaveConfigValue(kDefaultKeyMappingKey, nc.package_name, nc.default_key_mapping);
  SaveConfigValue(kSmkKey, nc.package_name, nc.smk);
}

void NimbrelConfigManager::InsertAppConfig(const NativeConfig& nc) {
  AppConfig record;
  record.package_name = nc.package_name;
  record.default_key_mapping = nc.default_key_mapping;
  record.smk = nc.smk;
  record.guest_config = nc.guest_config;

  InsertDocuments docs = ParseInsertDocuments(nc.host_config, nc.local_user_config, nc.global_config);
  for (const std::string& error : docs.errors) {
    CONFIG_LOG(warning, lc_emulator_config, kInsertSignature) << ("json parse fail, error: " + error);
  }
  const LocalUserDerivation derived = DeriveLocalUserConfig(nc.package_name, docs);
  record.host = std::move(docs.host);
  record.local_user = docs.local_user;
  record.global = std::move(docs.global);
  {
    std::unique_lock guard(lock);
    configs[nc.package_name] = std::move(record);
    if (derived.stored_document_read) {
      local_user_unread.erase(nc.package_name);
    } else {
      local_user_unread.insert(nc.package_name);
    }
  }
  // The registry values go only once the document holding them is stored; a
  // failed store leaves them for the next run to move again.
  if (derived.NeedsWriteBack() && UpdateLocalUserConfig(nc.package_name, docs.local_user)) {
    CommitRegistryMigration(nc.package_name, derived.migration);
  }
}

bool NimbrelConfigManager::UpdateLocalUserConfig(const std::string& package, const AppLocalUserConfig& patch) {
  // A package not inserted yet (the launcher's density is asked for while
  // its documents are still being fetched), or inserted without its stored
  // document being parsed, starts from its stored document: storing the
  // patch over nothing would drop the user's other choices.
  const auto knows_stored = [this](const std::string& name) {
    return configs.find(name) != configs.end() && local_user_unread.count(name) == 0;
  };
  std::optional<AppLocalUserConfig> stored;
  bool load = false;
  {
    std::shared_lock guard(lock);
    load = !knows_stored(package);
  }
  if (load) {
    const auto row = config_table.Load(fmt::format(fmt::runtime(kLocalUserConfigKey), package));
    stored = row ? ParseAppLocalUserConfig(row->value) : std::nullopt;
  }
  AppLocalUserConfig merged;
  {
    std::unique_lock guard(lock);
    if (!knows_stored(package)) {
      AppConfig& record = configs[package];
      record.package_name = package;
      // What the record holds (values moved from the registry) goes over
      // the stored choices.
      AppLocalUserConfig base = stored.value_or(AppLocalUserConfig{});
      MergeLocalUserConfig(base, record.local_user);
      record.local_user = std::move(base);
      local_user_unread.erase(package);
    }
    AppConfig& record = configs[package];
    MergeLocalUserConfig(record.local_user, patch);
    merged = record.local_user;
  }
  return SaveConfigValue(kLocalUserConfigKey, package, SerializeLocalUserConfig(merged));
}

AppHostConfig NimbrelConfigManager::GetAppHostConfig(const std::string& package) const {
  {
    std::shared_lock guard(lock);
    if (const auto it = configs.find(package); it != configs.end()) return it->second.host;
  }
  CONFIG_LOG(warning, lc_emulator_config, kGetHostSignature)
      << ("call GetAppHostConfig, return empty, package_name=" + package);
  return AppHostConfig{};
}

AppLocalUserConfig NimbrelConfigManager::GetAppLocalUserConfig(const std::string& package) const {
  std::shared_lock guard(lock);
  if (const auto it = configs.find(package); it != configs.end()) return it->second.local_user;
  return AppLocalUserConfig{};
}

NimbrelGlobalConfig NimbrelConfigManager::GetGlobalConfig() const {
  std::shared_lock guard(lock);
  if (const auto it = configs.find(kNimbrelPackage); it != configs.end()) return it->second.global;
  return NimbrelGlobalConfig{};
}

AppGuestConfig NimbrelConfigManager::GetAppGuestConfig(const std::string& package) const {
  std::string text;
  {
    std::shared_lock guard(lock);
    const auto it = configs.find(package);
    if (it == configs.end() || it->second.guest_config.empty()) return AppGuestConfig{};
    text = it->second.guest_config;
  }
  std::string error;
  if (auto guest = ParseAppGuestConfig(text, &error)) return std::move(*guest);
  CONFIG_LOG(warning, lc_emulator_config, kGetGuestSignature) << ("json parse fail, error: " + error);
  return AppGuestConfig{};
}

std::optional<VramSnapshot> NimbrelConfigManager::GetVramSnapshot(const std::string& package) const {
  std::lock_guard guard(vram_mutex);
  if (const auto it = vram_snapshots.find(package); it != vram_snapshots.end()) return it->second;
  return std::nullopt;
}

void NimbrelConfigManager::ApplyGuestConfig(const std::string& package) {
  std::string text;
  {
    std::shared_lock guard(lock);
    if (const auto it = configs.find(package); it != configs.end()) text = it->second.guest_config;
  }
  PatchGuestConfig(text, package);
  if (text.empty()) return;
  // The name becomes a file name: only a package name may, so nothing is
  // ever written outside the config folder.
  bool saved = false;
  if (IsValidPackageName(package)) {
    const std::filesystem::path directory =
        base::gstring::ToPath(MultiInst::Instance()->GetSharedDirectory(true)) / "config";
    saved = qtbaseex::file::SaveTextDatatoLocalFile(text, base::gstring::FromPath(directory),
                                                    fmt::format("{}.conf", package));
  }
  if (!saved) {
    CONFIG_LOG(warning, lc_emulator_config, kApplyGuestSignature)
        << ("failed to save guest config to disk:" + package);
  }
}

void NimbrelConfigManager::PatchGuestConfig(std::string& text, const std::string& package) {
  std::string error;
  std::optional<nlohmann::json> parsed = ParseJsonDocument(text, &error);
  if (!parsed) {
    CONFIG_LOG(warning, lc_emulator_config, kPatchSignature)
        << ("update local user config split screen error:" + error);
    return;
  }
  nlohmann::json& guest = *parsed;
  if (!guest.is_object()) return;
  const auto pane_it = guest.find("multipane");
  if (pane_it == guest.end() || !pane_it->is_object() || !pane_it->contains("enable")) return;
  nlohmann::json& pane = *pane_it;

  const bool split_switch = setting_helper::IsSplitScreenSwitchOn();
  const AppLocalUserConfig local_user = GetAppLocalUserConfig(package);
  const int mode = GetSplitScreenMode(package);

  if (mode == 2) {
    pane["enable"] = "false";
  } else {
    pane["enable"] = IsSplitScreenChecked(package) ? "true" : "false";
  }
  if (!pane.contains("ratio")) pane["ratio"] = "0.5";
  if (!pane.contains("dragBar")) pane["dragBar"] = "false";
  if (!pane.contains("orientation")) {
    pane["orientation"] = local_user.orientation ? static_cast<std::int32_t>(*local_user.orientation)
                                                 : GetDefaultOrientation(package);
  }
  if (!local_user.texture_compression) CheckFreeVramForAutoTune(package);

  CONFIG_LOG(debug, lc_default, kPatchSignature)
      << "patch guest config [pkg]" << package << split_switch
      << (local_user.split_screen ? (*local_user.split_screen ? 1 : 0) : -1) << mode << text;
  try {
    text = guest.dump();
  } catch (const nlohmann::json::exception& e) {
    CONFIG_LOG(warning, lc_emulator_config, kPatchSignature)
        << (std::string("update local user config split screen error:") + e.what());
  }
}

bool NimbrelConfigManager::CheckFreeVramForAutoTune(const std::string& package) {
  if (GetSuggestedTextureCompressionDefault()) return true;
  if (base::system::IsWin7()) return false;
  const base::hardware_detect::AdapterFreeMemorySnapshot snapshot =
      base::hardware_detect::GetCurrentRenderAdapterFreeMemory(0);
  const bool hit = IsLowFreeVram(snapshot.free_mb);
  CONFIG_LOG(info, lc_emulator_config, kVramSignature).nospace()
      << "[PatchGuestConfig] auto-tune free vram check pkg=" << package
      << " free_mb=" << static_cast<qulonglong>(snapshot.free_mb) << " gpu_kind=" << snapshot.gpu_kind
      << " threshold_mb=" << static_cast<qulonglong>(kFreeVramThresholdMb) << " hit=" << hit;
  platform::diagnostics::DebuggerOutput(fmt::format(
      "[PatchGuestConfig] auto-tune free vram check pkg={} free_mb={} gpu_kind={} threshold_mb={} hit={}\n",
      package, snapshot.free_mb, snapshot.gpu_kind, kFreeVramThresholdMb, hit));
  {
    std::lock_guard guard(vram_mutex);
    vram_snapshots[package] = VramSnapshot{
        snapshot.free_mb, snapshot.gpu_kind,
        static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count())};
  }
  CONFIG_LOG(info, lc_emulator_config, kVramSignature).nospace()
      << "[PatchGuestConfig] cache vram snapshot pkg=" << package
      << " free_mb=" << static_cast<qulonglong>(snapshot.free_mb) << " gpu_kind=" << snapshot.gpu_kind;
  platform::diagnostics::DebuggerOutput(fmt::format("[PatchGuestConfig] cache vram snapshot pkg={} free_mb={} gpu_kind={}\n",
                                                    package, snapshot.free_mb, snapshot.gpu_kind));
  return hit;
}

bool IsLowFreeVram(std::uint64_t free_mb) { return free_mb < kFreeVramThresholdMb; }

std::filesystem::path GuestConfigFilePath(const std::string& package) {
  return base::gstring::ToPath(MultiInst::Instance()->GetSharedDirectory(false)) / "config" /
         (package + ".conf");
}

}  // namespace config
