// A driver-settings library for the tests: an in-memory profile store behind
// the one exported entry point, with controls to make any function fail or
// be missing, and a record of every call. Sessions work on a copy of the
// store that only a save writes back, as the driver's do.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/nvperfs/nvapi_types.h"

using namespace nvperfs::nvapi;

namespace {

constexpr Status kInvalidArgument = -5;
constexpr Status kApiNotInitialized = -4;
constexpr Status kIncompatibleStructVersion = -9;
constexpr Status kNameInUse = -128;
constexpr Status kInvalidHandle = -8;

struct StoredProfile {
  std::u16string name;
  bool predefined = false;
  std::vector<std::pair<std::u16string, std::u16string>> apps;  // (app, friendly)
  std::map<NvU32, NvU32> settings;
};
using Store = std::vector<StoredProfile>;

struct Session {
  Store working;
};

struct State {
  std::mutex mutex;
  Store saved;
  std::map<std::string, Status> failures;
  std::set<NvU32> missing;
  std::vector<std::string> calls;
  std::set<Session*> sessions;
  int save_count = 0;
  bool initialised = false;
  std::string dump;
};

State& S() {
  static State state;
  return state;
}

std::u16string FromField(const NvU16* field) {
  std::u16string out;
  for (std::size_t i = 0; i < kUnicodeStringMax && field[i] != 0; ++i) out.push_back(field[i]);
  return out;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Records the call; returns the injected failure, or 0 to go on.
Status Enter(State& s, const char* name) {
  s.calls.emplace_back(name);
  auto it = s.failures.find(name);
  return it == s.failures.end() ? kOk : it->second;
}

Session* Find(State& s, SessionHandle handle) {
  auto* session = static_cast<Session*>(handle);
  return s.sessions.count(session) ? session : nullptr;
}

// A profile handle is the profile's 1-based index in the session's store.
StoredProfile* ProfileOf(Session* session, ProfileHandle handle) {
  const auto index = reinterpret_cast<std::uintptr_t>(handle);
  if (index == 0 || index > session->working.size()) return nullptr;
  return &session->working[index - 1];
}

}  // namespace

extern "C" {

static Status Initialize() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "Initialize")) return st;
  s.initialised = true;
  return kOk;
}

static Status Unload() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "Unload")) return st;
  s.initialised = false;
  return kOk;
}

static Status CreateSession(SessionHandle* out) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "CreateSession")) return st;
  if (!s.initialised) return kApiNotInitialized;
  if (out == nullptr) return kInvalidArgument;
  auto* session = new Session;
  s.sessions.insert(session);
  *out = session;
  return kOk;
}

static Status DestroySession(SessionHandle handle) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "DestroySession")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  s.sessions.erase(session);
  delete session;
  return kOk;
}

static Status LoadSettings(SessionHandle handle) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "LoadSettings")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  session->working = s.saved;
  return kOk;
}

static Status SaveSettings(SessionHandle handle) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "SaveSettings")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  s.saved = session->working;
  ++s.save_count;
  return kOk;
}

static Status FindProfileByName(SessionHandle handle, NvU16* name, ProfileHandle* out) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "FindProfileByName")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  const std::u16string wanted = FromField(name);
  for (std::size_t i = 0; i < session->working.size(); ++i) {
    if (session->working[i].name == wanted) {
      *out = reinterpret_cast<ProfileHandle>(i + 1);
      return kOk;
    }
  }
  return kProfileNotFound;
}

static Status RestoreProfileDefault(SessionHandle handle, ProfileHandle profile) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "RestoreProfileDefault")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  StoredProfile* p = ProfileOf(session, profile);
  if (p == nullptr) return kInvalidHandle;
  if (!p->predefined) {
    session->working.erase(session->working.begin() + (p - session->working.data()));
    return kProfileRemoved;
  }
  p->settings.clear();
  return kOk;
}

static Status CreateProfile(SessionHandle handle, Profile* info, ProfileHandle* out) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "CreateProfile")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  if (info == nullptr || out == nullptr) return kInvalidArgument;
  if (info->version != kProfileVersion) return kIncompatibleStructVersion;
  StoredProfile p;
  p.name = FromField(info->profile_name);
  p.predefined = info->is_predefined != 0;
  for (const auto& existing : session->working) {
    if (existing.name == p.name) return kNameInUse;
  }
  session->working.push_back(std::move(p));
  *out = reinterpret_cast<ProfileHandle>(session->working.size());
  return kOk;
}

static Status CreateApplication(SessionHandle handle, ProfileHandle profile, Application* app) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "CreateApplication")) return st;
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  StoredProfile* p = ProfileOf(session, profile);
  if (p == nullptr) return kInvalidHandle;
  if (app == nullptr) return kInvalidArgument;
  if (app->version != kApplicationVersion) return kIncompatibleStructVersion;
  if (app->is_predefined != 0) return kInvalidArgument;
  p->apps.emplace_back(FromField(app->app_name), FromField(app->user_friendly_name));
  return kOk;
}

static Status SetSetting(SessionHandle handle, ProfileHandle profile, Setting* setting) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (Status st = Enter(s, "SetSetting")) return st;
  // A failure aimed at one setting: "SetSetting:<id in hex>".
  if (setting != nullptr) {
    char key[32];
    std::snprintf(key, sizeof key, "SetSetting:%X", setting->setting_id);
    if (auto it = s.failures.find(key); it != s.failures.end()) return it->second;
  }
  Session* session = Find(s, handle);
  if (session == nullptr) return kInvalidHandle;
  StoredProfile* p = ProfileOf(session, profile);
  if (p == nullptr) return kInvalidHandle;
  if (setting == nullptr) return kInvalidArgument;
  if (setting->version != kSettingVersion || setting->setting_type != kDwordType) {
    return kIncompatibleStructVersion;
  }
  if (setting->current.u32 != setting->predefined.u32) return kInvalidArgument;
  p->settings[setting->setting_id] = setting->current.u32;
  return kOk;
}

struct Entry {
  NvU32 id;
  void* fn;
};

#ifndef FAKE_NVAPI_WITHOUT_QUERY
__attribute__((visibility("default"))) void* nvapi_QueryInterface(NvU32 id) {
  static const Entry kEntries[] = {
      {kIdInitialize, reinterpret_cast<void*>(&Initialize)},
      {kIdCreateSession, reinterpret_cast<void*>(&CreateSession)},
      {kIdDestroySession, reinterpret_cast<void*>(&DestroySession)},
      {kIdUnload, reinterpret_cast<void*>(&Unload)},
      {kIdLoadSettings, reinterpret_cast<void*>(&LoadSettings)},
      {kIdCreateProfile, reinterpret_cast<void*>(&CreateProfile)},
      {kIdCreateApplication, reinterpret_cast<void*>(&CreateApplication)},
      {kIdSaveSettings, reinterpret_cast<void*>(&SaveSettings)},
      {kIdSetSetting, reinterpret_cast<void*>(&SetSetting)},
      {kIdFindProfileByName, reinterpret_cast<void*>(&FindProfileByName)},
      {kIdRestoreProfileDefault, reinterpret_cast<void*>(&RestoreProfileDefault)},
  };
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (s.missing.count(id)) return nullptr;
  for (const Entry& e : kEntries) {
    if (e.id == id) return e.fn;
  }
  return nullptr;
}
#endif

// --- controls for the tests ---------------------------------------------------

__attribute__((visibility("default"))) void FakeNvapiReset() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.saved.clear();
  s.failures.clear();
  s.missing.clear();
  s.calls.clear();
  s.save_count = 0;
  s.initialised = false;
}

// `function` as named in the call record ("CreateProfile"), or
// "SetSetting:<hex id>" for one setting.
__attribute__((visibility("default"))) void FakeNvapiFail(const char* function, int status) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.failures[function] = status;
}

__attribute__((visibility("default"))) void FakeNvapiHide(NvU32 id) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.missing.insert(id);
}

// A stored profile made by the driver or by the user before this run.
__attribute__((visibility("default"))) void FakeNvapiAddProfile(const char* name, int predefined,
                                                                unsigned setting_id,
                                                                unsigned value) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  StoredProfile p;
  for (const char* c = name; *c; ++c) p.name.push_back(static_cast<unsigned char>(*c));
  p.predefined = predefined != 0;
  if (setting_id != 0) p.settings[setting_id] = value;
  s.saved.push_back(std::move(p));
}

// The saved store and the calls, one line each:
//   profile <name> predefined=<0|1> apps=<app>/<friendly>,... settings=<hex id>=<v>,...
//   calls <name> <name> ...
//   saves <n> sessions <open sessions>
__attribute__((visibility("default"))) const char* FakeNvapiDump() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  std::string out;
  for (const auto& p : s.saved) {
    out += "profile " + Narrow(p.name) + " predefined=" + (p.predefined ? "1" : "0") + " apps=";
    for (std::size_t i = 0; i < p.apps.size(); ++i) {
      out += (i ? "," : "") + Narrow(p.apps[i].first) + "/" + Narrow(p.apps[i].second);
    }
    out += " settings=";
    bool first = true;
    for (const auto& [id, value] : p.settings) {
      char item[40];
      std::snprintf(item, sizeof item, "%s%X=%u", first ? "" : ",", id, value);
      out += item;
      first = false;
    }
    out += "\n";
  }
  out += "calls";
  for (const auto& c : s.calls) out += " " + c;
  out += "\nsaves " + std::to_string(s.save_count) + " sessions " +
         std::to_string(s.sessions.size()) + "\n";
  s.dump = out;
  return s.dump.c_str();
}

}  // extern "C"
