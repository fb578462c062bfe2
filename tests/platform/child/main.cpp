// A child for the platform tests. It is steered by environment variables,
// never by its arguments, so that the arguments can be anything a test
// wants to see come through unchanged:
//   PLATFORM_CHILD_ARGV_OUT    file receiving argv, each entry NUL-terminated
//   PLATFORM_CHILD_STATUS_OUT  file receiving a copy of /proc/self/status
//                              (Windows: lines "admin-member: 0|1" and
//                              "admin-group: enabled|deny-only|absent" of its token)
//   PLATFORM_CHILD_CWD_OUT     file receiving the working directory
//   PLATFORM_CHILD_FDS_OUT     file receiving the open descriptors, one a line
//                              (POSIX only)
//   PLATFORM_CHILD_PID_OUT     file receiving "pid ppid"
//   PLATFORM_CHILD_AS_NOBODY   pid of a process to open and terminate after
//                              dropping to uid/gid 65534; the exit code is the
//                              terminate result (PLATFORM_CHILD_AS_NOBODY_NAME:
//                              the image name enumeration must report for it;
//                              POSIX only)
//   PLATFORM_CHILD_SLEEP_MS    time to wait before exiting ("forever" to wait)
//   PLATFORM_CHILD_EXIT        exit code (default 0)
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <grp.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/text.h"

namespace {

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

// Written aside and renamed, so a test polling for the file never reads half.
void WriteFile(const char* path, const std::string& content) {
  std::string temp = std::string(path) + ".part";
  {
    std::ofstream out(temp, std::ios::binary);
    out << content;
  }
  std::rename(temp.c_str(), path);
}

#ifndef _WIN32
std::string OpenDescriptors() {
  std::string list;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return "error";
  const int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;
    list += entry->d_name;
    list += '\n';
  }
  closedir(dir);
  return list;
}

int ActAsNobody(const char* target_text) {
  const platform::Pid target = static_cast<platform::Pid>(std::strtoul(target_text, nullptr, 10));
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 90;
  if (getuid() != 65534) return 90;
  if (const char* expected = Env("PLATFORM_CHILD_AS_NOBODY_NAME")) {
    std::wstring seen;
    platform::EnumerateProcesses([&](const platform::ProcessEntry& entry) {
      if (entry.pid == target) seen = entry.exe_file;
      return entry.pid != target;
    });
    if (seen != platform::text::FromUtf8(expected)) return 92;
  }
  auto opened = platform::OpenProcess(
      target, platform::kProcessTerminate | platform::kSynchronize |
                  platform::kProcessQueryLimitedInformation);
  if (!opened) return 91;
  platform::ProcessHandle handle = std::move(opened).value();
  if (platform::QueryImagePath(handle.get()).error() != platform::kErrorAccessDenied) return 93;
  return static_cast<int>(platform::TerminateProcess(handle.get(), 1));
}
#else
// What the token says about the Administrators group: a member (enabled),
// present only to deny, or not there at all.
std::string TokenReport() {
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
    return "error";
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
  std::string group = "absent";
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
      const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
      for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (!EqualSid(groups->Groups[i].Sid, admins)) continue;
        const DWORD attributes = groups->Groups[i].Attributes;
        group = (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0 ? "deny-only"
                : (attributes & SE_GROUP_ENABLED) != 0        ? "enabled"
                                                               : "disabled";
      }
    }
    CloseHandle(token);
  }
  FreeSid(admins);
  // Laid out as /proc/self/status is, one "Name:\tvalue" a line.
  return "\nadmin-member:\t" + std::string(member ? "1" : "0") + "\nadmin-group:\t" + group + "\n";
}

unsigned long ParentId() {
  unsigned long parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

// argv as the system splits this process's command line, in UTF-8.
std::vector<std::string> Arguments() {
  std::vector<std::string> argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide != nullptr && i < count; ++i) argv.push_back(platform::text::ToUtf8(wide[i]));
  LocalFree(wide);
  return argv;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  if (const char* path = Env("PLATFORM_CHILD_ARGV_OUT")) {
    std::string content;
    for (const std::string& argument : Arguments()) content.append(argument).push_back('\0');
    WriteFile(path, content);
  }
  if (const char* path = Env("PLATFORM_CHILD_STATUS_OUT")) WriteFile(path, TokenReport());
  if (const char* path = Env("PLATFORM_CHILD_CWD_OUT")) {
    wchar_t buffer[4096];
    const DWORD n = GetCurrentDirectoryW(4096, buffer);
    WriteFile(path, n > 0 && n < 4096 ? platform::text::ToUtf8(std::wstring_view(buffer, n)) : "error");
  }
  if (const char* path = Env("PLATFORM_CHILD_PID_OUT")) {
    std::ostringstream text;
    text << GetCurrentProcessId() << ' ' << ParentId();
    WriteFile(path, text.str());
  }
  if (const char* sleep = Env("PLATFORM_CHILD_SLEEP_MS")) {
    if (std::string(sleep) == "forever") {
      for (;;) Sleep(INFINITE);
    }
    platform::SleepMs(static_cast<std::uint32_t>(std::strtoul(sleep, nullptr, 10)));
  }
#else
  if (const char* path = Env("PLATFORM_CHILD_ARGV_OUT")) {
    std::string content;
    for (int i = 0; i < argc; ++i) content.append(argv[i]).push_back('\0');
    WriteFile(path, content);
  }
  if (const char* path = Env("PLATFORM_CHILD_STATUS_OUT")) {
    std::ifstream in("/proc/self/status", std::ios::binary);
    WriteFile(path, std::string(std::istreambuf_iterator<char>(in), {}));
  }
  if (const char* path = Env("PLATFORM_CHILD_CWD_OUT")) {
    char buffer[4096];
    WriteFile(path, getcwd(buffer, sizeof buffer) ? buffer : "error");
  }
  if (const char* path = Env("PLATFORM_CHILD_FDS_OUT")) WriteFile(path, OpenDescriptors());
  if (const char* path = Env("PLATFORM_CHILD_PID_OUT")) {
    std::ostringstream text;
    text << getpid() << ' ' << getppid();
    WriteFile(path, text.str());
  }
  if (const char* target = Env("PLATFORM_CHILD_AS_NOBODY")) return ActAsNobody(target);
  if (const char* sleep = Env("PLATFORM_CHILD_SLEEP_MS")) {
    if (std::string(sleep) == "forever") {
      for (;;) pause();
    }
    platform::SleepMs(static_cast<std::uint32_t>(std::strtoul(sleep, nullptr, 10)));
  }
#endif
  const char* code = Env("PLATFORM_CHILD_EXIT");
  return code ? std::atoi(code) : 0;
}
