#include "base/multi_inst.h"

#include <map>
#include <system_error>

#include "base/gstring.h"
#include "base/reg.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/session.h"
#include "platform/text.h"

#include <cwctype>

namespace {

constexpr wchar_t kDefaultVersion[] = L"1.0.0.0";
// Reserved names that never resolve: a machine without a configured service
// fails fast instead of talking to a stranger.
constexpr wchar_t kDefaultConfigServiceUrl[] = L"https://conf.quarrion.example";
constexpr wchar_t kDefaultConfigServiceAltUrl[] = L"https://conf-alt.quarrion.example";

std::filesystem::path HomeFromEnvironment() {
  return ProductHomeFromEnvironment(
      [](const char* name) { return platform::ReadEnvironmentVariable(name); });
}

std::wstring ComponentName(ComponentType type) {
  switch (type) {
    case 1: return L"Client";
    case 2: return L"Emulator";
    case 3: return L"Vm";
    case 4: return L"Service";
    case 13: return L"Assistant";
    case 201: return L"Update";
    default: return L"Component" + std::to_wstring(type);
  }
}

std::wstring PathText(const std::filesystem::path& p) { return base::gstring::FromPath(p); }

// The product environment's settings (roots, directories, versions, channel,
// identifiers, service addresses) do not change while a program runs, so
// each is read from the registry once. What another product process may
// change during a run - the per-application settings the migration moves,
// the probe caches - is not read here but through base::reg where it is used,
// at every use. A write through base::reg by this process, or a registry
// pointed at another home, starts afresh.
struct SettingMemo {
  std::mutex mutex;
  platform::Pid owner = 0;  // a forked child reads for itself
  std::filesystem::path storage;
  std::uint64_t serial = 0;
  std::map<std::wstring, std::optional<platform::registry::Value>> values;
};

std::optional<platform::registry::Value> ReadSetting(platform::registry::Root root,
                                                     const std::wstring& key, const wchar_t* name) {
  static SettingMemo memo;
  // Taken before the read: a write meanwhile leaves the memo stale-marked.
  const std::uint64_t serial = base::reg::WriteSerial();
  const std::filesystem::path storage = platform::registry::StorageDirectory();
  std::wstring id = std::to_wstring(static_cast<int>(root)) + L'\\' + key + L'\\' + name;
  for (wchar_t& c : id) c = static_cast<wchar_t>(std::towlower(c));
  {
    std::lock_guard<std::mutex> lock(memo.mutex);
    if (memo.serial != serial || memo.storage != storage || memo.owner != platform::CurrentProcessId()) {
      memo.values.clear();
      memo.serial = serial;
      memo.storage = storage;
      memo.owner = platform::CurrentProcessId();
    }
    if (const auto it = memo.values.find(id); it != memo.values.end()) return it->second;
  }
  auto v = platform::registry::Read(root, key, name);
  if (!v) return std::nullopt;  // unreadable now: not kept, asked again next time
  std::lock_guard<std::mutex> lock(memo.mutex);
  if (memo.serial == serial && memo.storage == storage && memo.owner == platform::CurrentProcessId()) {
    memo.values.emplace(id, *v);
  }
  return *v;
}

}  // namespace

std::filesystem::path ProductHomeFromEnvironment(
    const std::function<std::optional<std::string>(const char* name)>& get) {
  const std::optional<std::string> home = get("QUARRION_HOME");
  if (home && !home->empty()) {
#ifdef _WIN32
    // The variable's text is UTF-8; a path made from narrow text would be
    // read in the ANSI code page.
    return platform::text::PathFromWide(platform::text::FromUtf8(*home));
#else
    return std::filesystem::path(*home);  // the bytes as they are
#endif
  }
  std::filesystem::path data;
#ifdef _WIN32
  // The user's local application data, as the product keeps it there.
  const std::optional<std::string> local = get("LOCALAPPDATA");
  const std::optional<std::string> temp = get("TEMP");
  if (local && !local->empty()) {
    data = platform::text::PathFromWide(platform::text::FromUtf8(*local));
  } else if (temp && !temp->empty()) {
    data = platform::text::PathFromWide(platform::text::FromUtf8(*temp));
  } else {
    data = "C:\\";
  }
  return data / "Quarrion";
#endif
  const std::optional<std::string> xdg = get("XDG_DATA_HOME");
  const std::optional<std::string> user_home = get("HOME");
  if (xdg && !xdg->empty() && xdg->front() == '/') {
    data = *xdg;
  } else if (user_home && !user_home->empty()) {
    data = std::filesystem::path(*user_home) / ".local" / "share";
  } else {
    const std::optional<std::string> tmp = get("TMPDIR");
    data = tmp && !tmp->empty() ? std::filesystem::path(*tmp) : std::filesystem::path("/tmp");
  }
  return data / "Quarrion";
}

MultiInst* MultiInst::Instance() {
  static MultiInst instance;
  return &instance;
}

void MultiInst::Init(const std::wstring& product, ComponentType component) {
  const std::filesystem::path named = HomeFromEnvironment();
  std::lock_guard<std::mutex> lock(mutex_);
  if (start_directory_.empty()) {
    std::error_code ec;
    start_directory_ = std::filesystem::current_path(ec);
  }
  product_ = product.empty() ? std::wstring(L"Quarrion") : product;
  component_ = component;
  const std::filesystem::path home = AbsoluteLocked(named);
  const std::filesystem::path registry = home / "registry";
  // Init again for the same home changes nothing (the registry's open
  // databases stay); a new home is answered for from here on.
  if (initialised_ && home == home_ && platform::registry::StorageDirectory() == registry) return;
  home_ = home;
  initialised_ = true;
  platform::registry::SetStorageDirectory(registry);
}

void MultiInst::EnsureInit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_) return;
  }
  // Used before Init: the product's defaults. Two threads racing here both
  // end up with the same home, set once.
  Init(L"Quarrion", 0);
}

std::filesystem::path MultiInst::AbsoluteLocked(const std::filesystem::path& path) const {
  if (path.empty() || path.is_absolute() || start_directory_.empty()) return path;
  return start_directory_ / path;
}

std::filesystem::path MultiInst::Absolute(const std::filesystem::path& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AbsoluteLocked(path);
}

std::filesystem::path MultiInst::HomeLocked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return home_;
}

std::filesystem::path MultiInst::Home() const {
  const_cast<MultiInst*>(this)->EnsureInit();
  return HomeLocked();
}

std::filesystem::path MultiInst::LogsDirectory() const { return Home() / "logs"; }

std::wstring MultiInst::Product() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return product_;
}

ComponentType MultiInst::Component() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return component_;
}

std::wstring MultiInst::StringSetting(const std::wstring& key, const wchar_t* name,
                                      const std::wstring& fallback) {
  EnsureInit();
  for (auto root : {platform::registry::Root::kCurrentUser, platform::registry::Root::kLocalMachine}) {
    const auto v = ReadSetting(root, key, name);
    if (v) {
      if (const auto* s = std::get_if<std::wstring>(&*v)) return *s;
    }
  }
  return fallback;
}

std::uint64_t MultiInst::NumberSetting(const std::wstring& key, const wchar_t* name,
                                       std::uint64_t fallback) {
  EnsureInit();
  for (auto root : {platform::registry::Root::kCurrentUser, platform::registry::Root::kLocalMachine}) {
    const auto v = ReadSetting(root, key, name);
    if (!v) continue;
    if (const auto* d = std::get_if<std::uint32_t>(&*v)) return *d;
    if (const auto* q = std::get_if<std::uint64_t>(&*v)) return *q;
  }
  return fallback;
}

std::wstring MultiInst::Directory(const wchar_t* override_name, const std::filesystem::path& base_dir,
                                  const std::filesystem::path& sub, bool create) {
  std::filesystem::path dir = base_dir;
  const std::wstring custom = StringSetting(GetComponentRegRoot(0), override_name, L"");
  if (!custom.empty()) dir = Absolute(base::gstring::ToPath(custom));
  if (!sub.empty()) dir /= sub;
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
  }
  return PathText(dir);
}

std::wstring MultiInst::GetComponentRegRoot(ComponentType type) {
  std::wstring root = L"Software\\" + Product();
  if (type != 0) root += L"\\" + ComponentName(type);
  return root;
}

std::wstring MultiInst::GetNimbrelEnvRegRoot() { return L"Software\\" + Product() + L"\\Env"; }

std::wstring MultiInst::GetComponentInstallRoot(ComponentType type, bool create) {
  const std::filesystem::path home = Home();
  const std::filesystem::path fallback =
      (type == 0 || type == 1) ? home / "install"
                               : home / "components" / base::gstring::ToPath(ComponentName(type));
  const std::wstring custom = StringSetting(GetComponentRegRoot(type), L"InstallRoot", L"");
  const std::filesystem::path root = custom.empty() ? fallback : Absolute(base::gstring::ToPath(custom));
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
  }
  return PathText(root);
}

std::wstring MultiInst::GetCurrentComponentDirectory(ComponentType type, bool create) {
  const std::wstring root = GetComponentInstallRoot(type, false);
  const std::wstring version = GetComponentVersion(type);
  if (root.empty() || version.empty()) return root;
  const std::filesystem::path dir = base::gstring::ToPath(root) / base::gstring::ToPath(version);
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
  }
  return PathText(dir);
}

std::wstring MultiInst::GetComponentVersion(ComponentType type) {
  if (type == 0) return GetMainVersion();
  return StringSetting(GetComponentRegRoot(type), L"Version", kDefaultVersion);
}

std::wstring MultiInst::GetMainVersion() {
  const std::wstring main = StringSetting(GetComponentRegRoot(0), L"MainVersion", L"");
  return main.empty() ? GetComponentVersion(1) : main;
}

std::wstring MultiInst::GetInstallSource() {
  return StringSetting(GetComponentRegRoot(0), L"InstallSource", L"");
}

std::wstring MultiInst::GetSharedDirectory(bool create) {
  return Directory(L"SharedDirectory", Home() / "shared", {}, create);
}

std::wstring MultiInst::GetAppdataNimbrelDirectory(AppdataDirectoryType type, bool create) {
  return Directory(L"AppdataDirectory", Home() / "appdata", std::to_string(type), create);
}

std::filesystem::path MultiInst::GetTempNimbrelDirectory(TempDirectoryType type, bool create) {
  const std::filesystem::path sub = type == 0 ? std::filesystem::path() : std::filesystem::path(std::to_string(type));
  return base::gstring::ToPath(Directory(L"TempDirectory", Home() / "temp", sub, create));
}

std::wstring MultiInst::GetConfigServiceUrl() {
  return StringSetting(GetNimbrelEnvRegRoot(), L"ConfigServiceUrl", kDefaultConfigServiceUrl);
}

std::wstring MultiInst::GetConfigServiceAltUrl() {
  return StringSetting(GetNimbrelEnvRegRoot(), L"ConfigServiceAltUrl", kDefaultConfigServiceAltUrl);
}

std::string MultiInst::GetFromSource() {
  return base::gstring::ToUtf8(StringSetting(GetComponentRegRoot(0), L"FromSource", L""));
}

std::string MultiInst::GetExperimentId() {
  return base::gstring::ToUtf8(StringSetting(GetComponentRegRoot(0), L"ExperimentId", L""));
}

std::string MultiInst::GetOaid(OaidTypeConst type) {
  const std::wstring name = L"Oaid" + std::to_wstring(type);
  return base::gstring::ToUtf8(StringSetting(GetComponentRegRoot(0), name.c_str(), L""));
}

unsigned MultiInst::GetChannel() {
  return static_cast<unsigned>(NumberSetting(GetComponentRegRoot(0), L"Channel", 0));
}

constants::ClientType MultiInst::GetClientType() {
  return static_cast<constants::ClientType>(static_cast<int>(
      NumberSetting(GetComponentRegRoot(0), L"ClientType", 1)));
}

int MultiInst::GetImageType() {
  return static_cast<int>(NumberSetting(GetComponentRegRoot(0), L"ImageType", 0));
}

bool MultiInst::GetSkirraDebugMode() {
  return NumberSetting(GetComponentRegRoot(0), L"SkirraDebugMode", 0) != 0;
}

bool MultiInst::GetApiLocalDebugMode() {
  return NumberSetting(GetComponentRegRoot(0), L"ApiLocalDebugMode", 0) != 0;
}
