// The few Windows type names the base library interface is written in. On
// Windows they come from <windows.h>; elsewhere they are defined here over the
// platform layer so that portable code reads the same on both.
#pragma once

#include <cstdint>

#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using HANDLE = platform::RawProcess;
// An opaque handle as on Windows, with Windows's predefined values; the
// registry code maps them to its roots (base/reg.cpp).
struct HKEY__;
using HKEY = HKEY__*;
// Macros as on Windows: usable in any initializer, whatever the order in
// which static objects are set up.
#define HKEY_CURRENT_USER \
  (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000001u))))
#define HKEY_LOCAL_MACHINE \
  (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002u))))
inline constexpr unsigned MAX_PATH = 260;

struct PROCESSENTRY32W {
  DWORD dwSize = sizeof(PROCESSENTRY32W);
  DWORD cntUsage = 0;
  DWORD th32ProcessID = 0;
  DWORD th32ParentProcessID = 0;
  wchar_t szExeFile[MAX_PATH] = {};
};
#endif
