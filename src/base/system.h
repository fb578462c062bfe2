// System operations of the base library: bulk kills, privileges, OS gates.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

#include "base/win_types.h"

namespace base::system {

using KillCallback =
    std::function<void(const std::filesystem::path& image, unsigned long pid, unsigned long error)>;

// Ends every process whose image file name is one of `names` (compared
// case-insensitively) and, when `directory` is not empty, whose image lies in
// that directory or below it (compared element by element after lexical
// normalisation; a directory reached through a symbolic link matches too).
// Never ends the calling process. Terminates through
// platform::TerminateProcess, so the termination hook sees every kill, and
// waits up to `wait_ms` for each to end. Calls `callback` once per process it
// tried to end, with the matched image name as given, the pid and 0 or the
// error (258 when it had not ended within `wait_ms`). Returns how many
// processes were ended. `flags` is reserved (0).
unsigned KillProcess(std::span<const std::wstring_view> names, const std::filesystem::path& directory,
                     unsigned wait_ms, unsigned long flags, const KillCallback& callback);

class PrivilegeToken {
 public:
  // Enabling returns whether the privilege is now held and enabled.
  // Disabling undoes what the matching enable switched on (a privilege that
  // was enabled before stays) and returns whether that worked. On POSIX
  // "SeDebugPrivilege" stands for the power to signal other users' processes
  // (CAP_KILL in the calling thread's effective set); other names fail.
  static bool AdjustPrivilegeToken(bool enable, const wchar_t* privilege);
};

// Enables a privilege for the life of the object on the calling thread and
// disables it again however the scope ends, only if this object switched it
// on (nested scopes and a privilege held from the start are left alone).
class ScopedPrivilege {
 public:
  explicit ScopedPrivilege(const wchar_t* privilege);
  ~ScopedPrivilege();
  ScopedPrivilege(const ScopedPrivilege&) = delete;
  ScopedPrivilege& operator=(const ScopedPrivilege&) = delete;

  // Whether the privilege is held now.
  bool enabled() const { return enabled_; }

 private:
  bool enabled_ = false;
  bool raised_ = false;
};

// Gates on the Windows version, as the system reports it (not as this
// program's manifest would have it). Elsewhere they answer as a current
// Windows does: not 7, 10 or above.
bool IsWin7();
bool IsWin10OrAbove();

}  // namespace base::system

namespace base::apputils {
// This program's name: the executable's file name without its extension.
std::wstring GetCurrentApplicationName();
}  // namespace base::apputils
