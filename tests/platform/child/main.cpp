// A child for the platform tests. It is steered by environment variables,
// never by its arguments, so that the arguments can be anything a test
// wants to see come through unchanged:
//   PLATFORM_CHILD_ARGV_OUT    file receiving argv, each entry NUL-terminated
//   PLATFORM_CHILD_STATUS_OUT  file receiving a copy of /proc/self/status
//   PLATFORM_CHILD_CWD_OUT     file receiving the working directory
//   PLATFORM_CHILD_FDS_OUT     file receiving the open descriptors, one a line
//   PLATFORM_CHILD_PID_OUT     file receiving "pid ppid"
//   PLATFORM_CHILD_AS_NOBODY   pid of a process to open and terminate after
//                              dropping to uid/gid 65534; the exit code is the
//                              terminate result (PLATFORM_CHILD_AS_NOBODY_NAME:
//                              the image name enumeration must report for it)
//   PLATFORM_CHILD_SLEEP_MS    time to wait before exiting ("forever" to wait)
//   PLATFORM_CHILD_EXIT        exit code (default 0)
#include <dirent.h>
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
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
  const char* code = Env("PLATFORM_CHILD_EXIT");
  return code ? std::atoi(code) : 0;
}
