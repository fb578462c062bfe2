#include "base/process.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "platform/process.h"
#include "platform/text.h"

namespace base::process {

std::filesystem::path GetCurrentExeFullPath() { return platform::CurrentExecutablePath(); }

std::wstring GetCurrentExePath() { return gstring::FromPath(GetCurrentExeFullPath().parent_path()); }

std::wstring GetCurrentExeName() { return gstring::FromPath(GetCurrentExeFullPath().filename()); }

std::filesystem::path ProcessImagepath(HANDLE process) {
  if (process == nullptr) return {};
  return platform::QueryImagePath(process).value_or({});
}

namespace {

// The directory itself, not its spelling: "/h/" and "/h" and "/x/../h" are
// one home. Lexically first (a home that does not exist yet), then by
// identity (a link or another mount of the same directory).
bool SameDirectory(const std::filesystem::path& a, const std::filesystem::path& b) {
  auto lexical = [](const std::filesystem::path& p) {
    std::filesystem::path normal = p.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
  };
  if (lexical(a) == lexical(b)) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

bool IsOnThisMachine(DWORD pid) {
  // Our own start-up environment may predate the home we now answer for.
  if (pid == platform::CurrentProcessId()) return true;
  static const std::vector<std::string_view> kNames = {"QUARRION_HOME", "XDG_DATA_HOME", "HOME",
                                                       "TMPDIR"};
  auto read = platform::ReadProcessEnvironmentVariables(pid, kNames);
  if (!read) return true;
  // An empty environment is one we cannot tell by (a program started with
  // none; one in its exec has been waited for by the read).
  if (read->empty) return true;
  const std::vector<std::optional<std::string>>& theirs = read->values;
  std::optional<std::string> ours;
  if (const char* home = std::getenv("QUARRION_HOME")) ours = home;
  if (theirs[0] == ours) return true;  // spelled alike: the common case, no more to read

  // Spelled differently, the two may still name one home: a trailing
  // separator, a relative path (taken against that process's own current
  // directory), a link, or the default home written out.
  const std::filesystem::path their_home =
      ProductHomeFromEnvironment([&theirs](const char* name) -> std::optional<std::string> {
        for (std::size_t i = 0; i < kNames.size(); ++i) {
          if (kNames[i] == name) return theirs[i];
        }
        return std::nullopt;
      });
  std::filesystem::path their_absolute = their_home;
  if (their_home.is_relative()) {
    const auto cwd = platform::QueryProcessWorkingDirectory(pid);
    // Unknown directory: their home cannot be placed, so it cannot be ours
    // by spelling; only a process we can tell is ours is.
    if (!cwd) return false;
    their_absolute = *cwd / their_home;
  }
  const std::filesystem::path our_home =
      ProductHomeFromEnvironment([](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
      });
  std::error_code ec;
  std::filesystem::path our_absolute = std::filesystem::absolute(our_home, ec);
  if (ec) our_absolute = our_home;
  return SameDirectory(our_absolute, their_absolute);
}

struct ScopedProcessSnapshot::State {
  std::vector<platform::ProcessEntry> entries;
  platform::ErrorCode error = platform::kErrorSuccess;
  // Which home a process belongs to does not change while it runs: asked
  // once per snapshot.
  std::unordered_map<platform::Pid, bool> on_machine;
  State* outer = nullptr;
};

namespace {

thread_local ScopedProcessSnapshot::State* t_snapshot = nullptr;

bool OnThisMachine(platform::Pid pid) {
  if (t_snapshot == nullptr) return IsOnThisMachine(pid);
  const auto [it, fresh] = t_snapshot->on_machine.try_emplace(pid, false);
  if (fresh) it->second = IsOnThisMachine(pid);
  return it->second;
}

// A snapshot's entry may have ended since it was taken; a live walk lists
// running processes only. A process we may not open is taken as running.
bool StillRunning(platform::Pid pid) {
  if (t_snapshot == nullptr) return true;
  const auto process = platform::OpenProcess(pid, platform::kSynchronize);
  if (!process) return process.error() != platform::kErrorInvalidParameter;
  return platform::WaitForProcess(process->get(), 0) == platform::kWaitTimeout;
}

platform::ErrorCode ForEachEntry(const std::function<bool(const platform::ProcessEntry&)>& visit) {
  if (t_snapshot == nullptr) return platform::EnumerateProcesses(visit);
  for (const auto& e : t_snapshot->entries) {
    if (!visit(e)) break;
  }
  return t_snapshot->error;
}

PROCESSENTRY32W ToEntry(const platform::ProcessEntry& e) {
  PROCESSENTRY32W entry;
  entry.th32ProcessID = e.pid;
  entry.th32ParentProcessID = e.parent_pid;
  // Truncated like the tool-help snapshot, always NUL-terminated.
  const std::size_t n = std::min<std::size_t>(e.exe_file.size(), MAX_PATH - 1);
  std::copy_n(e.exe_file.data(), n, entry.szExeFile);
  entry.szExeFile[n] = L'\0';
  return entry;
}

}  // namespace

ScopedProcessSnapshot::ScopedProcessSnapshot() : state_(new State) {
  auto taken = platform::TakeProcessSnapshot();
  if (taken) {
    state_->entries = std::move(taken->entries);
  } else {
    state_->error = taken.error();
  }
  state_->outer = t_snapshot;
  t_snapshot = state_;
}

ScopedProcessSnapshot::~ScopedProcessSnapshot() {
  t_snapshot = state_->outer;
  delete state_;
}

bool EnumProcesses(const std::function<bool(const PROCESSENTRY32W&)>& callback) {
  if (!callback) return false;
  const auto err = ForEachEntry([&](const platform::ProcessEntry& e) {
    if (!OnThisMachine(e.pid) || !StillRunning(e.pid)) return true;
    return callback(ToEntry(e));
  });
  return err == platform::kErrorSuccess;
}

bool EnumProcessesNamed(std::span<const std::wstring_view> names,
                        const std::function<bool(const PROCESSENTRY32W&, std::wstring_view)>& visit) {
  if (!visit) return false;
  const auto err = ForEachEntry([&](const platform::ProcessEntry& e) {
    for (const auto& name : names) {
      if (platform::text::CompareNoCase(e.exe_file, name) != 0) continue;
      if (!OnThisMachine(e.pid) || !StillRunning(e.pid)) return true;
      return visit(ToEntry(e), name);
    }
    return true;
  });
  return err == platform::kErrorSuccess;
}

bool WaitForProcessUntilExit(DWORD pid, DWORD timeout_ms) {
  if (pid == 0) return true;
  // Waiting for ourselves could only end by the time-out (or never).
  if (pid == platform::CurrentProcessId()) return false;
  // A process of another product machine is not there to wait for.
  if (!IsOnThisMachine(pid)) return true;
  const auto process = platform::OpenProcess(pid, platform::kSynchronize);
  if (!process) return process.error() == platform::kErrorInvalidParameter;  // no such process: gone
  return platform::WaitForProcess(process->get(), timeout_ms) == platform::kWaitObject0;
}

}  // namespace base::process
