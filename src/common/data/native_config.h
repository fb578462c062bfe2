// One package's configuration as the service delivers it: six documents as
// JSON texts, plus the package name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace config {

struct NativeConfig {
  std::string package_name;
  std::string default_key_mapping;
  std::string smk;
  std::string guest_config;
  std::string host_config = "{}";
  std::string local_user_config = "{}";
  std::string global_config = "{}";
};

enum class NativeConfigKind : int {
  KeyMapping = 0,
  Smk = 1,
  GuestConfig = 2,
  HostConfig = 3,
  LocalUserConfig = 4,
  GlobalConfig = 5,
};

// The kind a response key fills; none for keys of no document.
std::optional<NativeConfigKind> KindOfResponseKey(std::string_view key);
// The storage key format of a kind ("nimbrel.{}.host_config"); none for an unknown kind.
std::optional<std::string_view> StorageKeyFormat(NativeConfigKind kind);
// The field of `config` that holds `kind`.
std::string& FieldOf(NativeConfig& config, NativeConfigKind kind);

// Whether `name` can be an Android package name: at least two dot-separated
// segments of ASCII letters, digits and underscores, each starting with a
// letter, at most kMaxPackageNameLength bytes. The name becomes a file name,
// a database key and a registry subkey, and it comes from a database other
// processes write, so nothing else is ever used.
inline constexpr std::size_t kMaxPackageNameLength = 200;
bool IsValidPackageName(std::string_view name);

}  // namespace config
