#include "base/system.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "base/gstring.h"
#include "base/process.h"
#include "platform/files.h"
#include "platform/machine_facts.h"
#include "platform/process.h"
#include "platform/text.h"

namespace base::system {
namespace {

bool SameComponent(const std::filesystem::path& a, const std::filesystem::path& b) {
#ifdef _WIN32
  return platform::text::CompareNoCase(a.native(), b.native()) == 0;
#else
  return a == b;
#endif
}

// Lexically normal, without a trailing separator (which would leave an empty
// last element).
std::filesystem::path Normal(const std::filesystem::path& p) {
  std::filesystem::path n = p.lexically_normal();
  if (!n.has_filename() && n.has_parent_path() && n != n.root_path()) n = n.parent_path();
  return n;
}

// Whether `image` lies in `dir` or below it, element by element.
bool IsInside(const std::filesystem::path& image, const std::filesystem::path& dir) {
  const std::filesystem::path i = Normal(image);
  const std::filesystem::path d = Normal(dir);
  auto it = i.begin();
  for (const auto& part : d) {
    if (it == i.end() || !SameComponent(*it, part)) return false;
    ++it;
  }
  return it != i.end();  // the image itself is one element deeper at least
}

struct Directories {
  std::vector<std::filesystem::path> forms;  // as given, and with links resolved
};

Directories DirectoryForms(const std::filesystem::path& directory) {
  Directories d;
  if (directory.empty()) return d;
  d.forms.push_back(directory);
  // Image paths come back with symbolic links resolved; a directory given
  // through a link must still match.
  const auto resolved = platform::files::ResolveLinks(directory);
  if (resolved && !resolved->empty() && *resolved != directory) d.forms.push_back(*resolved);
  return d;
}

bool InAny(const std::filesystem::path& image, const Directories& dirs) {
  for (const auto& d : dirs.forms) {
    if (IsInside(image, d)) return true;
  }
  return false;
}

}  // namespace

unsigned KillProcess(std::span<const std::wstring_view> names, const std::filesystem::path& directory,
                     unsigned wait_ms, unsigned long flags, const KillCallback& callback) {
  if (names.empty()) return 0;
  const Directories dirs = DirectoryForms(directory);
  const platform::Pid self = platform::CurrentProcessId();

  struct Candidate {
    platform::Pid pid;
    std::wstring_view name;
  };
  std::vector<Candidate> candidates;
  // The name first: telling which machine a process belongs to reads its
  // environment, worth doing for the few that match only.
  base::process::EnumProcessesNamed(names, [&](const PROCESSENTRY32W& e, std::wstring_view name) {
    if (e.th32ProcessID != self && e.th32ProcessID != 0) candidates.push_back({e.th32ProcessID, name});
    return true;
  });

  auto report = [&](std::wstring_view name, platform::Pid pid, platform::ErrorCode err) {
    if (callback) callback(gstring::ToPath(name), pid, err);
  };

  unsigned ended = 0;
  constexpr std::uint32_t kAccess =
      platform::kProcessTerminate | platform::kProcessQueryInformation | platform::kSynchronize;
  for (const auto& c : candidates) {
    auto opened = platform::OpenProcess(c.pid, kAccess);
    platform::ErrorCode err = opened.error();
    platform::ProcessHandle process = opened ? std::move(opened).value() : platform::ProcessHandle();
    if (!process) {
      if (err == platform::kErrorInvalidParameter) continue;  // ended meanwhile
      if (!dirs.forms.empty()) {
        // Not ours to report unless it runs from the directory; look with
        // the least right that can tell.
        auto look = platform::OpenProcess(c.pid, platform::kProcessQueryLimitedInformation);
        const auto image = look ? platform::QueryImagePath(look->get())
                                : platform::Result<std::filesystem::path>(platform::Fail(look.error()));
        if (!image || !InAny(*image, dirs)) continue;
      }
      report(c.name, c.pid, err);
      continue;
    }
    if (!dirs.forms.empty()) {
      const auto image = platform::QueryImagePath(process.get());
      if (!image || !InAny(*image, dirs)) continue;
    }
    err = platform::TerminateProcess(process.get(), 0xFFFFFFFF);
    if (err != 0) {
      const auto code = platform::GetExitCode(process.get());
      if (code && *code != platform::kStillActive) {
        err = 0;  // it ended on its own before we could
      } else {
        report(c.name, c.pid, err);
        continue;
      }
    }
    platform::ErrorCode wait_err = 0;
    const std::uint32_t waited = platform::WaitForProcess(process.get(), wait_ms, &wait_err);
    if (waited == platform::kWaitObject0) {
      ++ended;
      report(c.name, c.pid, 0);
    } else {
      report(c.name, c.pid, waited == platform::kWaitTimeout ? platform::kWaitTimeout
                                                             : (wait_err ? wait_err : platform::kErrorGenFailure));
    }
  }
  return ended;
}

#ifdef _WIN32
namespace {

// The system's own version (the kernel's "major.minor.build"), whatever this
// program's manifest claims; it cannot change while the process runs.
std::pair<unsigned, unsigned> WindowsVersion() {
  static const std::pair<unsigned, unsigned> version = [] {
    unsigned major = 0;
    unsigned minor = 0;
    std::sscanf(platform::machine::Uname().release.c_str(), "%u.%u", &major, &minor);
    return std::pair{major, minor};
  }();
  return version;
}

}  // namespace

bool IsWin7() { return WindowsVersion() == std::pair{6u, 1u}; }
bool IsWin10OrAbove() { return WindowsVersion().first >= 10; }
#else
// No Windows here: the system stands for a current one, without the
// Windows 7 work-arounds.
bool IsWin7() { return false; }
bool IsWin10OrAbove() { return true; }
#endif

}  // namespace base::system

namespace base::apputils {

std::wstring GetCurrentApplicationName() {
  return gstring::FromPath(platform::CurrentExecutablePath().filename().replace_extension());
}

}  // namespace base::apputils
