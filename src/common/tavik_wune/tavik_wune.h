// Identifiers that analytics events carry: the product's machine GUID, the
// device advertising identifiers stored by other product processes, and the
// device identifier of the device-identity SDK (tavik.dll, loaded from the
// executable's directory).
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/multi_inst.h"
#include "platform/library.h"
#include "sdk/tavik/tavik_exports.h"

namespace tavik_wune {

inline constexpr const char* kTavikAppKey = "0XNA0PLB284VKCD3";
inline constexpr const wchar_t* kTavikFileName = L"tavik.dll";

// One SDK instance: its loader state and the identifier cache. The process
// has one (Instance()); tests make their own over other directories.
class DeviceIdentity {
 public:
  struct Sources {
    // Full path of the running executable ("" when it cannot be read).
    std::function<std::wstring()> exe_path;
    std::function<std::string()> machine_guid;
  };
  explicit DeviceIdentity(Sources sources);
  ~DeviceIdentity();
  DeviceIdentity(const DeviceIdentity&) = delete;
  DeviceIdentity& operator=(const DeviceIdentity&) = delete;

  static DeviceIdentity& Instance();

  // The device identifier (hexadecimal text), cached once valid; empty when
  // the SDK cannot give one.
  std::string DeviceId();

  // Initialises the SDK (with the machine GUID, then without); true when
  // either attempt succeeded.
  bool InitSdk();
  // One load-and-initialise attempt from `directory` (the executable's when
  // empty): 0 initialised; 1 the executable's file name cannot be read, 2 it
  // has no directory part, 3 no SDK file, 4 the file does not load, 5 no
  // "a1"; any other number is "a1"'s own.
  int LoadAndInit(const std::string& params_json, bool flag, const std::wstring& directory);
  // The identity record, fetched from the SDK while its text is empty.
  std::array<char, tavik::kIdentityRecordSize> FetchRecord();

 private:
  std::wstring ExeDirectory() const;

  Sources sources_;
  std::mutex cache_mutex_;
  std::string cache_;
  std::mutex init_mutex_;
  bool init_ok_ = false;
  std::mutex loader_mutex_;
  bool initialised_ = false;
  std::unique_ptr<platform::Library> module_;  // never unloaded once loaded
  std::string app_key_;
  std::array<char, tavik::kIdentityRecordSize> record_{};
};

// The leading text of an identity record when it is a valid identifier
// (non-empty, hexadecimal digits only); empty otherwise.
std::string IdentifierFromRecord(const std::array<char, tavik::kIdentityRecordSize>& record);

// The machine GUID, cached once read non-empty.
std::string CachedMachineGuid();

// The advertising identifier of one type, deciphered with the machine GUID;
// empty when none is stored or there is no GUID. `guid` defaults to the
// cached machine GUID.
std::string OaidValue(OaidTypeConst type);
std::string OaidValue(OaidTypeConst type, const std::function<std::string()>& guid);

}  // namespace tavik_wune

namespace param {

// Registers A3, q36, guid, wune40 and wune32, in that order.
void InitTavikWuneGuid(std::map<std::string, std::function<std::string()>>& getters);

}  // namespace param
