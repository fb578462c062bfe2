#include "common/tavik_wune/tavik_wune.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "base/crypto.h"
#include "base/gstring.h"
#include "base/process.h"
#include "base/yvok_guid.h"

namespace tavik_wune {

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string IdentifierFromRecord(const std::array<char, tavik::kIdentityRecordSize>& record) {
  // The text ends at the first NUL or, when the SDK filled every byte, at the
  // record's end: never read past it.
  const auto end = std::find(record.begin(), record.end(), '\0');
  std::string text(record.begin(), end);
  if (text.empty() || !std::all_of(text.begin(), text.end(), IsHexDigit)) return {};
  return text;
}

DeviceIdentity::DeviceIdentity(Sources sources) : sources_(std::move(sources)) {}

DeviceIdentity::~DeviceIdentity() {
  // The SDK may keep threads or callbacks of its own: its module stays.
  (void)module_.release();
}

DeviceIdentity& DeviceIdentity::Instance() {
  // Lives for the whole process; never destroyed, so no exit-time unload.
  static DeviceIdentity* const instance = new DeviceIdentity(Sources{
      [] { return base::gstring::FromPath(base::process::GetCurrentExeFullPath()); },
      [] { return CachedMachineGuid(); },
  });
  return *instance;
}

std::wstring DeviceIdentity::ExeDirectory() const {
  const std::wstring path = sources_.exe_path ? sources_.exe_path() : std::wstring();
  const std::size_t cut = path.find_last_of(L"\\/");
  if (path.empty() || cut == std::wstring::npos) return {};
  return path.substr(0, cut);
}

int DeviceIdentity::LoadAndInit(const std::string& params_json, bool flag,
                                const std::wstring& directory) {
  std::lock_guard lock(loader_mutex_);
  if (initialised_) return 0;
  if (!module_) {
    std::wstring dir = directory;
    if (dir.empty()) {
      const std::wstring path = sources_.exe_path ? sources_.exe_path() : std::wstring();
      if (path.empty()) return 1;
      const std::size_t cut = path.find_last_of(L"\\/");
      if (cut == std::wstring::npos) return 2;
      dir = path.substr(0, cut);
    }
    const std::filesystem::path file = base::gstring::ToPath(dir) / base::gstring::ToPath(kTavikFileName);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return 3;
    auto library = std::make_unique<platform::Library>(platform::Library::Load(file).value_or(platform::Library()));
    if (!library->valid()) return 4;
    module_ = std::move(library);
  }
  auto* a1 = reinterpret_cast<tavik::A1Fn*>(module_->Symbol("a1"));
  if (a1 == nullptr) return 5;
  const int result = a1(kTavikAppKey, 0, "", params_json.c_str(), "", flag);
  if (result != 0) return result;
  app_key_ = kTavikAppKey;
  initialised_ = true;
  return 0;
}

bool DeviceIdentity::InitSdk() {
  std::lock_guard lock(init_mutex_);
  const std::wstring dir = ExeDirectory();
  const std::string guid = sources_.machine_guid ? sources_.machine_guid() : std::string();
  const std::string params = nlohmann::json{{"GUID", guid}}.dump();
  init_ok_ = LoadAndInit(params, true, dir) == 0 || LoadAndInit("", false, L"") == 0;
  return init_ok_;
}

std::array<char, tavik::kIdentityRecordSize> DeviceIdentity::FetchRecord() {
  std::lock_guard lock(loader_mutex_);
  if (initialised_ && record_[0] == '\0') {
    if (auto* b = reinterpret_cast<tavik::BFn*>(module_->Symbol("b"))) {
      std::array<char, tavik::kIdentityRecordSize> buffer{};
      if (b(app_key_.c_str(), buffer.data(), static_cast<int>(buffer.size())) == 0) record_ = buffer;
    }
  }
  return record_;
}

std::string DeviceIdentity::DeviceId() {
  {
    std::lock_guard lock(cache_mutex_);
    if (!cache_.empty()) return cache_;
  }
  if (!InitSdk()) return {};
  const auto record = FetchRecord();
  const std::string id = IdentifierFromRecord(record);
  if (id.empty()) {
    // A rejected record is dropped, so the next read asks the SDK again
    // instead of keeping the bad one for the life of the process.
    std::lock_guard lock(loader_mutex_);
    if (record_ == record) record_.fill('\0');
    return {};
  }
  std::lock_guard lock(cache_mutex_);
  if (cache_.empty()) cache_ = id;
  return cache_;
}

namespace {

std::mutex g_guid_mutex;
std::string g_guid;

}  // namespace

std::string CachedMachineGuid() {
  std::lock_guard lock(g_guid_mutex);
  if (g_guid.empty()) g_guid = base::yvok_guid::GetYvokGuid();
  return g_guid;
}

std::string OaidValue(OaidTypeConst type, const std::function<std::string()>& guid) {
  const std::string stored = MultiInst::Instance()->GetOaid(type);
  if (stored.empty()) return {};
  const std::string key = guid();
  if (key.empty()) return {};
  return base::crypto::DecodeXxteaBase64(key, stored);
}

std::string OaidValue(OaidTypeConst type) { return OaidValue(type, &CachedMachineGuid); }

}  // namespace tavik_wune

namespace param {

void InitTavikWuneGuid(std::map<std::string, std::function<std::string()>>& getters) {
  getters["A3"] = [] { return tavik_wune::CachedMachineGuid(); };
  getters["q36"] = [] { return tavik_wune::DeviceIdentity::Instance().DeviceId(); };
  getters["guid"] = [] { return tavik_wune::CachedMachineGuid(); };
  getters["wune40"] = [] { return std::string(); };
  getters["wune32"] = [] { return std::string(); };
}

}  // namespace param
