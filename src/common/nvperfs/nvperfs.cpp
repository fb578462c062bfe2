#include "common/nvperfs/nvperfs.h"

#include <QString>

#include <array>
#include <cstring>
#include <memory>
#include <thread>

#include "common/nvperfs/nvapi_types.h"
#include "platform/library.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"

namespace nvperfs {

#ifdef _WIN32
const char* const kNvapiLibraryName = "nvapi64.dll";
#else
const char* const kNvapiLibraryName = "libnvidia-api.so.1";
#endif

namespace {

constexpr const char* kSignature =
    "bool __cdecl nvperfs::AddExeToNvidiaGpu(const class std::basic_string<wchar_t,struct "
    "std::char_traits<wchar_t>,class std::allocator<wchar_t> > &,bool)";

#define NV_LOG(level) QX_SIGNED_LOG(level, lc_nvapi_perfs, kSignature).noquote()

struct Setting {
  nvapi::NvU32 id;
  nvapi::NvU32 value;
};

// Every function the run needs, fetched up front so a driver that lacks one
// is refused before anything is changed.
struct Api {
  nvapi::InitializeFn* initialize = nullptr;
  nvapi::CreateSessionFn* create_session = nullptr;
  nvapi::DestroySessionFn* destroy_session = nullptr;
  nvapi::UnloadFn* unload = nullptr;
  nvapi::LoadSettingsFn* load_settings = nullptr;
  nvapi::CreateProfileFn* create_profile = nullptr;
  nvapi::CreateApplicationFn* create_application = nullptr;
  nvapi::SaveSettingsFn* save_settings = nullptr;
  nvapi::SetSettingFn* set_setting = nullptr;
  nvapi::FindProfileByNameFn* find_profile_by_name = nullptr;
  nvapi::RestoreProfileDefaultFn* restore_profile_default = nullptr;

  bool Complete() const {
    return initialize && create_session && destroy_session && unload && load_settings &&
           create_profile && create_application && save_settings && set_setting &&
           find_profile_by_name && restore_profile_default;
  }
};

template <typename Fn>
void Query(nvapi::QueryInterfaceFn* query, nvapi::NvU32 id, Fn** out) {
  *out = reinterpret_cast<Fn*>(query(id));
}

}  // namespace

namespace internal {

ProfileNames NamesFor(std::wstring_view exe_path) {
  ProfileNames names;
  const std::size_t slash = exe_path.find_last_of(L"\\/");
  names.file_name = std::wstring(slash == std::wstring_view::npos ? exe_path : exe_path.substr(slash + 1));
  // The path library's rule: the last dot splits, unless the name starts
  // with it or is "." / "..".
  const std::size_t dot = names.file_name.rfind(L'.');
  if (names.file_name == L"." || names.file_name == L".." || dot == std::wstring::npos || dot == 0) {
    names.stem = names.file_name;
  } else {
    names.stem = names.file_name.substr(0, dot);
  }
  names.profile = names.stem + L" Nvidia Profile";
  return names;
}

void CopyToField(std::wstring_view text, std::uint16_t* field, std::size_t capacity) {
  if (capacity == 0) return;
  std::size_t n = 0;
  for (wchar_t wc : text) {
    std::uint32_t c = static_cast<std::uint32_t>(wc);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
    const std::size_t units = c > 0xFFFF ? 2 : 1;
    if (n + units > capacity - 1) break;  // a pair is copied whole or not at all
    if (units == 2) {
      c -= 0x10000;
      field[n++] = static_cast<std::uint16_t>(0xD800 + (c >> 10));
      field[n++] = static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF));
    } else {
      field[n++] = static_cast<std::uint16_t>(c);
    }
  }
  field[n] = 0;
}

bool AddExeToNvidiaGpuWith(const std::filesystem::path& library_path, const std::wstring& exe_path,
                           unsigned hardware_threads) {
  const platform::Library library = platform::Library::Load(library_path).value_or(platform::Library());
  if (!library.valid()) {
    NV_LOG(critical) << "Error getting NVAPI module";
    return false;
  }
  auto* query = reinterpret_cast<nvapi::QueryInterfaceFn*>(library.Symbol("nvapi_QueryInterface"));
  if (query == nullptr) {
    NV_LOG(critical) << "Error getting NVAPI NvAPI_QueryInterface ";
    return false;
  }
  Api api;
  Query(query, nvapi::kIdInitialize, &api.initialize);
  Query(query, nvapi::kIdCreateSession, &api.create_session);
  Query(query, nvapi::kIdDestroySession, &api.destroy_session);
  Query(query, nvapi::kIdUnload, &api.unload);
  Query(query, nvapi::kIdLoadSettings, &api.load_settings);
  Query(query, nvapi::kIdCreateProfile, &api.create_profile);
  Query(query, nvapi::kIdCreateApplication, &api.create_application);
  Query(query, nvapi::kIdSaveSettings, &api.save_settings);
  Query(query, nvapi::kIdSetSetting, &api.set_setting);
  Query(query, nvapi::kIdFindProfileByName, &api.find_profile_by_name);
  Query(query, nvapi::kIdRestoreProfileDefault, &api.restore_profile_default);
  if (!api.Complete()) {
    NV_LOG(critical) << "Error NVAPI: Function nullptr ";
    return false;
  }
  if (api.initialize() != nvapi::kOk) {
    NV_LOG(critical) << "Error NVAPI: Init failed ";
    return false;
  }
  nvapi::SessionHandle session = nullptr;
  if (api.create_session(&session) != nvapi::kOk) {
    NV_LOG(critical) << "NVAPI: Error creating DRS session ";
    api.unload();
    return false;
  }
  const auto give_up = [&] {
    api.destroy_session(session);
    api.unload();
    return false;
  };
  if (api.load_settings(session) != nvapi::kOk) {
    NV_LOG(critical) << "NVAPI: Error loading DRS settings ";
    return give_up();
  }

  const ProfileNames names = NamesFor(exe_path);
  const QString profile_text = QString::fromStdWString(names.profile);
  // The records are large (tens of KiB): kept off the stack of a probe thread.
  auto profile_info = std::make_unique<nvapi::Profile>();
  std::memset(profile_info.get(), 0, sizeof(nvapi::Profile));
  profile_info->version = nvapi::kProfileVersion;
  CopyToField(names.profile, profile_info->profile_name, nvapi::kUnicodeStringMax);
  profile_info->is_predefined = 0;

  nvapi::ProfileHandle profile = nullptr;
  bool create = true;
  if (api.find_profile_by_name(session, profile_info->profile_name, &profile) == nvapi::kOk) {
    const nvapi::Status restored = api.restore_profile_default(session, profile);
    if (restored != nvapi::kOk && restored != nvapi::kProfileRemoved) return give_up();
    if (api.save_settings(session) != nvapi::kOk) return give_up();
    NV_LOG(info) << "restore app_profile_name " + profile_text;
    // A profile of our own making is removed by the restore and made anew; a
    // driver profile stays, with its application.
    create = restored == nvapi::kProfileRemoved;
  }
  if (create) {
    profile = nullptr;
    if (api.create_profile(session, profile_info.get(), &profile) != nvapi::kOk) {
      NV_LOG(critical) << "NVAPI: Error creating profile ";
      return give_up();
    }
    auto app = std::make_unique<nvapi::Application>();
    std::memset(app.get(), 0, sizeof(nvapi::Application));
    app->version = nvapi::kApplicationVersion;
    app->is_predefined = 0;
    CopyToField(names.file_name, app->app_name, nvapi::kUnicodeStringMax);
    CopyToField(names.stem, app->user_friendly_name, nvapi::kUnicodeStringMax);
    if (api.create_application(session, profile, app.get()) != nvapi::kOk) {
      NV_LOG(critical) << "NVAPI: Error creating application ";
      return give_up();
    }
  }

  const unsigned threads = hardware_threads;
  const nvapi::NvU32 thread_optimization = threads < 6 ? 2 : 0;
  NV_LOG(info) << QString("num_hw_thread = %1, thread_optimization = %2")
                      .arg(threads)
                      .arg(thread_optimization);
  const std::array<Setting, 4> settings = {{
      {0x20C1221E, thread_optimization},
      {0x10F9DC80, 1},
      {0x10F9DC81, 1},
      {0x10F9DC84, 0},
  }};
  for (const Setting& s : settings) {
    auto record = std::make_unique<nvapi::Setting>();
    std::memset(record.get(), 0, sizeof(nvapi::Setting));
    record->version = nvapi::kSettingVersion;
    record->setting_id = s.id;
    record->setting_type = nvapi::kDwordType;
    record->predefined.u32 = s.value;
    record->current.u32 = s.value;
    if (api.set_setting(session, profile, record.get()) != nvapi::kOk) {
      NV_LOG(critical) << "NVAPI: Error calling NvAPI_DRS_SetSetting " +
                              QString::number(static_cast<std::int32_t>(s.id));
    }
  }
  if (api.save_settings(session) != nvapi::kOk) {
    NV_LOG(critical) << "NVAPI: Error calling NvAPI_DRS_SaveSettings ";
    return give_up();
  }
  NV_LOG(info) << "NvAPI_DRS_SaveSettings save app_profile_name ok " + profile_text;
  api.destroy_session(session);
  return true;
}

}  // namespace internal

bool AddExeToNvidiaGpu(const std::wstring& exe_path, bool) {
  return internal::AddExeToNvidiaGpuWith(kNvapiLibraryName, exe_path,
                                         std::thread::hardware_concurrency());
}

}  // namespace nvperfs
