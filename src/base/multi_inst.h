// The product environment: directories, registry roots, versions and
// identifiers of one product instance. Everything lives under the product
// home ($QUARRION_HOME, default ${XDG_DATA_HOME:-~/.local/share}/Quarrion);
// each answer can be overridden by a value in the emulated registry, which is
// how a test or the demo lays out a sandbox machine.
//
// Layout under the home (defaults):
//   registry/            the emulated registry roots
//   install/             component install root (client: versions inside)
//   install/<Version>/   current component directory
//   appdata/<type>/      application data (type 4: databases)
//   shared/              shared directory (guest configuration files)
//   temp/                product temporary directory
//   logs/                this process's log files
//
// Registry overrides (HKCU, under GetComponentRegRoot(c)): "InstallRoot",
// "Version", "InstallSource"; under GetComponentRegRoot(0): "SharedDirectory",
// "AppdataDirectory", "TempDirectory", "Channel", "ClientType", "ImageType",
// "FromSource", "ExperimentId", "SkirraDebugMode", "ApiLocalDebugMode".
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

namespace constants {
enum class ClientType : int { kUnknown = 0, kNormal = 1 };
}

using ComponentType = int;
using AppdataDirectoryType = int;
using TempDirectoryType = int;
using OaidTypeConst = int;

class MultiInst {
 public:
  static MultiInst* Instance();

  // Once at start-up. Sets up the emulated registry under the product home.
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

  std::string GetFromSource();
  std::string GetExperimentId();
  std::string GetOaid(OaidTypeConst type);

  unsigned GetChannel();
  constants::ClientType GetClientType();
  int GetImageType();
  bool GetSkirraDebugMode();
  bool GetApiLocalDebugMode();

  const std::wstring& Product() const { return product_; }
  ComponentType Component() const { return component_; }

 private:
  MultiInst() = default;
  std::wstring StringSetting(ComponentType type, const wchar_t* name, const std::wstring& fallback);
  std::uint64_t NumberSetting(const wchar_t* name, std::uint64_t fallback);

  mutable std::mutex mutex_;
  std::wstring product_ = L"Quarrion";
  ComponentType component_ = 0;
  bool initialised_ = false;
};
