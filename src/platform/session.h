// The session a process runs in: the command line and the environment it was
// started with, the display servers it can reach and its runtime directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace platform {

// The arguments this process was started with, program first, exactly as the
// OS holds them: libraries that take their own options out of argv (Qt's
// -style, -platform, ...) do not change them.
Result<std::vector<std::string>> RawArguments();
// The arguments as the program's entry hands them to main. Windows: the
// wide command line split by CommandLineToArgvW, each argument converted to
// the system ANSI code page (a character the code page lacks becomes its
// default character), as the narrow C entry would see them. POSIX: the
// kernel's bytes, as RawArguments.
Result<std::vector<std::string>> EntryArguments();
// Splits a block of NUL-terminated strings (the form of /proc/<pid>/cmdline
// and environ); a last string without its NUL still counts.
std::vector<std::string> ParseNulSeparated(std::string_view block);

// Records this process's environment as it is now, as the one its children
// get. Called first thing in main, before the process changes its own
// environment for itself (a runtime directory, a platform choice). Later
// calls change nothing.
void CaptureStartEnvironment();
// The recorded environment ("NAME=value" entries), for LaunchRequest's
// `environment`; unset when nothing was recorded (children then inherit the
// current environment).
std::optional<std::vector<std::string>> StartEnvironment();

// The name of the user's default locale as the session sets it, in the
// system's own form ("de_AT.UTF-8" here, "de-AT" on Windows); empty when the
// session names none. It is the user's setting, so it is read from the
// environment the process was started with (CaptureStartEnvironment), not
// from what the process has changed since.
std::string UserDefaultLocaleName();

// One variable of this process's environment; unset when absent.
std::optional<std::string> ReadEnvironmentVariable(const char* name);
// Sets or removes one variable of this process's environment (its children
// see it unless they are given an environment).
Result<void> WriteEnvironmentVariable(const char* name, const std::string& value);
Result<void> RemoveEnvironmentVariable(const char* name);

// The display servers the session names.
struct DisplayServers {
  bool x11 = false;      // DISPLAY is set and not empty
  bool wayland = false;  // WAYLAND_DISPLAY is set and not empty
  // Windows: the process's window station is the interactive one (a
  // desktop the user sees); a service's is not. Always false on POSIX.
  bool windows_desktop = false;
};
DisplayServers AvailableDisplayServers();

// The per-user runtime directory (XDG_RUNTIME_DIR). When the session has
// none, `fallback` is created, made private to its owner and set for this
// process. Returns the directory in use.
Result<std::filesystem::path> EnsureRuntimeDirectory(const std::filesystem::path& fallback);

// What the system itself says of the session being remote: a remote desktop
// session, or one under remote control.
struct RemoteSessionMetrics {
  bool remote_session = false;
  bool remote_control = false;
};
// 50 where the system keeps no such metrics (there the session's variables
// tell, read by the layers above).
Result<RemoteSessionMetrics> ReadRemoteSessionMetrics();

}  // namespace platform
