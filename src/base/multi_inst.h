// The product environment: directories, registry roots, versions and
// identifiers of one product instance. Everything lives under the product
// home ($QUARRION_HOME, default ${XDG_DATA_HOME:-~/.local/share}/Quarrion);
// each answer can be overridden by a value in the emulated registry, which is
// how a test or the demo lays out a sandbox machine.
//
// Layout under the home (defaults):
//   registry/                 the emulated registry roots (HKCU.db, HKLM.db)
//   install/                  install root of components 0 and 1 (the client:
//                             launcher beside one directory per version)
//   install/<Version>/        the client's current component directory
//   components/<Name>/        install root of any other component
//   components/<Name>/<Version>/  its current component directory
//   appdata/<type>/           application data (type 4: the databases)
//   shared/                   shared directory (config/<package>.conf)
//   temp/                     product temporary directory (type 0;
//                             temp/<type> for other types)
//   logs/                     log files of the running programs
//
// Registry roots: GetComponentRegRoot(0) = "Software\<product>", any other
// component "Software\<product>\<Name>" with Name 1 "Client", 2 "Emulator",
// 3 "Vm", 4 "Service", 13 "Assistant", 201 "Update", else "Component<n>".
// GetNimbrelEnvRegRoot() = "Software\<product>\Env".
//
// Overrides are read from HKCU first, then HKLM, then the default:
//   under GetComponentRegRoot(c): "InstallRoot" (string), "Version" (string,
//     default "1.0.0.0");
//   under GetComponentRegRoot(0): "MainVersion" (default: the client's
//     version), "InstallSource", "SharedDirectory", "AppdataDirectory",
//     "TempDirectory" (strings; a directory override replaces the base
//     directory, the type subdirectory is still added), "FromSource",
//     "ExperimentId", "Oaid<type>" (strings), "Channel" (number, default 0),
//     "ClientType" (number, default 1), "ImageType" (number, default 0),
//     "SkirraDebugMode", "ApiLocalDebugMode" (numbers, non-zero = on);
//   under GetNimbrelEnvRegRoot(): "ConfigServiceUrl", "ConfigServiceAltUrl"
//     (strings, the configuration service's primary and alternative base
//     addresses).
// The machine identifier lives in HKLM under GetComponentRegRoot(0), value
// "MachineGuid" (see yvok_guid.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace constants {
enum class ClientType : int { kUnknown = 0, kNormal = 1 };
}

// The product home an environment names: QUARRION_HOME when set and not
// empty, else <XDG_DATA_HOME (when absolute) or HOME/.local/share>/Quarrion,
// else <TMPDIR or /tmp>/Quarrion. `get` answers one variable (nullopt when
// unset). A relative QUARRION_HOME is returned as it stands.
std::filesystem::path ProductHomeFromEnvironment(
    const std::function<std::optional<std::string>(const char* name)>& get);

using ComponentType = int;
using AppdataDirectoryType = int;
using TempDirectoryType = int;
using OaidTypeConst = int;

class MultiInst {
 public:
  static MultiInst* Instance();

  // At start-up, before any other call (a call made earlier initialises with
  // the defaults). Reads the product home from the environment and points the
  // emulated registry at it. A relative home, like a relative directory of
  // the registry settings, is taken from the directory the first Init ran
  // in, once: a later change of directory (a crash handler goes to /) moves
  // nothing. May be called again: for the same home nothing changes; for a
  // new one the instance answers for that home.
  void Init(const std::wstring& product, ComponentType component);

  std::filesystem::path Home() const;  // the product home
  std::filesystem::path LogsDirectory() const;

  std::wstring GetComponentInstallRoot(ComponentType type, bool create = false);
  std::wstring GetCurrentComponentDirectory(ComponentType type, bool create = false);
  std::wstring GetComponentRegRoot(ComponentType type);
  std::wstring GetNimbrelEnvRegRoot();
  std::wstring GetComponentVersion(ComponentType type);
  std::wstring GetMainVersion();
  std::wstring GetInstallSource();
  std::wstring GetSharedDirectory(bool create = false);
  std::wstring GetAppdataNimbrelDirectory(AppdataDirectoryType type, bool create = false);
  std::filesystem::path GetTempNimbrelDirectory(TempDirectoryType type, bool create = false);

  // Base addresses of the configuration service (no trailing path).
  std::wstring GetConfigServiceUrl();
  std::wstring GetConfigServiceAltUrl();

  std::string GetFromSource();
  std::string GetExperimentId();
  std::string GetOaid(OaidTypeConst type);

  unsigned GetChannel();
  constants::ClientType GetClientType();
  int GetImageType();
  bool GetSkirraDebugMode();
  bool GetApiLocalDebugMode();

  std::wstring Product() const;
  ComponentType Component() const;

 private:
  MultiInst() = default;
  void EnsureInit();
  std::filesystem::path HomeLocked() const;
  // `path` made absolute against the start directory.
  std::filesystem::path Absolute(const std::filesystem::path& path) const;
  std::filesystem::path AbsoluteLocked(const std::filesystem::path& path) const;
  // Override from HKCU, then HKLM, under `key`; `fallback` when neither has it.
  std::wstring StringSetting(const std::wstring& key, const wchar_t* name,
                             const std::wstring& fallback);
  std::uint64_t NumberSetting(const std::wstring& key, const wchar_t* name, std::uint64_t fallback);
  // `base_dir` (or its override `override_name`) joined with `sub`, created on request.
  std::wstring Directory(const wchar_t* override_name, const std::filesystem::path& base_dir,
                         const std::filesystem::path& sub, bool create);

  mutable std::mutex mutex_;
  std::wstring product_ = L"Quarrion";
  ComponentType component_ = 0;
  std::filesystem::path home_;
  std::filesystem::path start_directory_;  // where the first Init ran
  bool initialised_ = false;
};
