// The part of NVIDIA's driver-settings interface this program calls: status
// values, the records it hands over and the functions' shapes, as the driver
// library exports them (every function is fetched by identifier through its
// one exported entry point).
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define NVAPI_CALL __cdecl
#else
#define NVAPI_CALL
#endif

namespace nvperfs::nvapi {

using NvU8 = std::uint8_t;
using NvU16 = std::uint16_t;
using NvU32 = std::uint32_t;
using Status = int;
using SessionHandle = void*;
using ProfileHandle = void*;

inline constexpr Status kOk = 0;
inline constexpr Status kError = -1;
inline constexpr Status kProfileNotFound = -163;
inline constexpr Status kProfileRemoved = -169;

inline constexpr std::size_t kUnicodeStringMax = 2048;
using UnicodeString = NvU16[kUnicodeStringMax];

inline constexpr NvU32 kDwordType = 0;  // setting value type: 32-bit unsigned

struct Profile {
  NvU32 version;
  UnicodeString profile_name;
  NvU32 gpu_support;
  NvU32 is_predefined;
  NvU32 num_of_apps;
  NvU32 num_of_settings;
};

struct Application {
  NvU32 version;
  NvU32 is_predefined;
  UnicodeString app_name;
  UnicodeString user_friendly_name;
  UnicodeString launcher;
  UnicodeString file_in_folder;
  NvU32 flags;
  UnicodeString command_line;
};

union SettingValue {
  NvU32 u32;
  struct {
    NvU32 size;
    NvU8 data[4096];
  } binary;
  UnicodeString text;
};

struct Setting {
  NvU32 version;
  UnicodeString setting_name;
  NvU32 setting_id;
  NvU32 setting_type;
  NvU32 setting_location;
  NvU32 is_current_predefined;
  NvU32 is_predefined_valid;
  SettingValue predefined;
  SettingValue current;
};

// A record version carries the record's size in its low 16 bits.
inline constexpr NvU32 kProfileVersion = 0x11014;
inline constexpr NvU32 kApplicationVersion = 0x4500C;
inline constexpr NvU32 kSettingVersion = 0x13020;
static_assert(sizeof(Profile) == (kProfileVersion & 0xFFFF));
static_assert(sizeof(Application) == (kApplicationVersion & 0xFFFF));
static_assert(sizeof(Setting) == (kSettingVersion & 0xFFFF));

// Interface identifiers.
inline constexpr NvU32 kIdInitialize = 0x0150E828;
inline constexpr NvU32 kIdCreateSession = 0x0694D52E;
inline constexpr NvU32 kIdDestroySession = 0xDAD9CFF8;
inline constexpr NvU32 kIdUnload = 0xD22BDD7E;
inline constexpr NvU32 kIdLoadSettings = 0x375DBD6B;
inline constexpr NvU32 kIdCreateProfile = 0xCC176068;
inline constexpr NvU32 kIdCreateApplication = 0x4347A9DE;
inline constexpr NvU32 kIdSaveSettings = 0xFCBC7E14;
inline constexpr NvU32 kIdSetSetting = 0x577DD202;
inline constexpr NvU32 kIdFindProfileByName = 0x7E4A9A0B;
inline constexpr NvU32 kIdRestoreProfileDefault = 0xFA5F6134;

extern "C" {
using QueryInterfaceFn = void* NVAPI_CALL(NvU32 id);
using InitializeFn = Status NVAPI_CALL();
using UnloadFn = Status NVAPI_CALL();
using CreateSessionFn = Status NVAPI_CALL(SessionHandle* session);
using DestroySessionFn = Status NVAPI_CALL(SessionHandle session);
using LoadSettingsFn = Status NVAPI_CALL(SessionHandle session);
using SaveSettingsFn = Status NVAPI_CALL(SessionHandle session);
using CreateProfileFn = Status NVAPI_CALL(SessionHandle session, Profile* info,
                                          ProfileHandle* profile);
using CreateApplicationFn = Status NVAPI_CALL(SessionHandle session, ProfileHandle profile,
                                              Application* app);
using SetSettingFn = Status NVAPI_CALL(SessionHandle session, ProfileHandle profile,
                                       Setting* setting);
using FindProfileByNameFn = Status NVAPI_CALL(SessionHandle session, NvU16* name,
                                              ProfileHandle* profile);
using RestoreProfileDefaultFn = Status NVAPI_CALL(SessionHandle session, ProfileHandle profile);
}

}  // namespace nvperfs::nvapi
