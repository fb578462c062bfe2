#include "common/config/app_config_refresh.h"

#include <fmt/format.h>

#include <mutex>
#include <set>

#include "base/multi_inst.h"
#include "common/config/nimbrel_config_manager.h"
#include "common/data/config_fetcher.h"
#include "qtbaseex/log/categories.h"
#include "common/config/config_log.h"
#include "qtbaseex/qdebug_ext.h"

namespace config {
namespace {

constexpr char kRefreshSignature[] =
    "void __cdecl config::RefreshAppConfig(const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &)";

// Each refused name is logged once per run, however often it is listed.
bool FirstRefusal(const std::string& package) {
  static std::mutex mutex;
  static std::set<std::string> refused;
  std::lock_guard guard(mutex);
  return refused.insert(package).second;
}

}  // namespace

std::string PrintablePackageName(const std::string& package) {
  std::string out;
  for (std::size_t i = 0; i < package.size() && i < 64; ++i) {
    const unsigned char c = static_cast<unsigned char>(package[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += fmt::format("\\x{:02x}", c);
    }
  }
  if (package.size() > 64) out += fmt::format("...({} bytes)", package.size());
  return out;
}

void RefreshAppConfig(const std::string& package) {
  NimbrelConfigManager& manager = NimbrelConfigManager::Instance();
  // The name becomes a file name, a database key and a registry subkey, and
  // it comes from a database other processes write: anything that is not a
  // package name is left alone entirely.
  if (!IsValidPackageName(package)) {
    if (FirstRefusal(package)) {
      CONFIG_LOG(warning, lc_emulator_config, kRefreshSignature)
          << ("skip config refresh, not a package name: \"" + PrintablePackageName(package) + "\"");
    }
    return;
  }
  NativeConfig record;
  if (MultiInst::Instance()->GetApiLocalDebugMode()) {
    record = LoadNativeConfigFromStore(package);
  } else if (std::optional<NativeConfig> fetched = FetchAppConfig(package)) {
    record = std::move(*fetched);
    manager.SaveNativeConfig(record);
  } else {
    record = LoadNativeConfigFromStore(package);
  }
  manager.InsertAppConfig(record);
  manager.ApplyGuestConfig(package);
}

NativeConfig LoadNativeConfigFromStore(const std::string& package) {
  NativeConfig record;
  record.package_name = package;
  for (const NativeConfigKind kind :
       {NativeConfigKind::HostConfig, NativeConfigKind::GuestConfig, NativeConfigKind::KeyMapping,
        NativeConfigKind::Smk, NativeConfigKind::LocalUserConfig, NativeConfigKind::GlobalConfig}) {
    if (auto text = LoadStoredConfig(package, kind)) FieldOf(record, kind) = std::move(*text);
  }
  UpdateConfigs(record);
  return record;
}

void RefreshBuiltinPackagesConfig() {
  const std::vector<std::string> packages(std::begin(kBuiltinPackages), std::end(kBuiltinPackages));
  for (const std::string& package : packages) RefreshAppConfig(package);
}

}  // namespace config
