// The few Windows type names the base library interface is written in. On
// Windows they come from <windows.h>; elsewhere they are defined here over the
// platform layer so that portable code reads the same on both.
#pragma once

#include <cstdint>

#include "platform/process.h"
#include "platform/registry.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using HANDLE = platform::RawProcess;
using HKEY = platform::registry::Root;
inline constexpr HKEY HKEY_CURRENT_USER = platform::registry::Root::kCurrentUser;
inline constexpr HKEY HKEY_LOCAL_MACHINE = platform::registry::Root::kLocalMachine;
inline constexpr unsigned MAX_PATH = 260;

struct PROCESSENTRY32W {
  DWORD dwSize = sizeof(PROCESSENTRY32W);
  DWORD cntUsage = 0;
  DWORD th32ProcessID = 0;
  DWORD th32ParentProcessID = 0;
  wchar_t szExeFile[MAX_PATH] = {};
};
#endif
