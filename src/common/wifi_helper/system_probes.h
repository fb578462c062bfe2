// Small probes of the machine and the user's desktop for the report
// parameters: screen, memory, power, remote desktop and security software.
// Each returns text or a small record and never fails: where the machine
// tells nothing, a fixed fallback is returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine_facts.h"

namespace system_probes {

// --- screen --------------------------------------------------------------------

struct ScreenFacts {
  int width = 0;  // device pixels
  int height = 0;
  double refresh_rate = 0;
  double logical_dpi_x = 0;
  double width_mm = 0;
  double height_mm = 0;
};

#ifndef _WIN32
// Qt's screen facts are taken on the application's (GUI) thread; other
// threads read the last snapshot. A call on the GUI thread takes a fresh one,
// so start-up takes the first by calling any screen probe or this. (Windows
// asks the desktop and the screen's device context at every call, on any
// thread.)
void RefreshScreenFacts();
// The snapshot, nullopt when no screen has been seen.
std::optional<ScreenFacts> CurrentScreenFacts();
#endif

std::string GetScreenResolutionText();
std::string GetRefreshRateText();
std::string GetCurrentDpiText();
std::string GetScreenInchText();

// The texts from given facts (nullopt: no screen).
std::string ResolutionText(const std::optional<ScreenFacts>& screen);
std::string RefreshRateText(const std::optional<ScreenFacts>& screen);
// `stored` is the "CurrentDpi" registry text; used when not empty.
std::string DpiText(const std::wstring& stored, const std::optional<ScreenFacts>& screen);
// The "CurrentDpi" text the product stored; empty when none.
std::wstring StoredCurrentDpi();
std::string ScreenInchText(const std::optional<ScreenFacts>& screen);

// --- memory --------------------------------------------------------------------

// Available physical memory in MiB; "DEFAULT_VALUE" when unknown.
std::string GetAvailableMemoryText();

// --- power ---------------------------------------------------------------------

struct PowerRecord {
  std::uint8_t ac_line_status = 255;  // 0 offline, 1 online, 255 unknown
  bool has_battery = false;
};
void GetPowerStatus(PowerRecord& record);
// From the power supplies' uevent texts.
PowerRecord PowerFromSupplies(const std::vector<std::string>& uevents);
void GetPowerStatus(const platform::machine::Reader& reader, PowerRecord& record);
// From the system's own power status: its line status as it is, and a
// battery unless the status says the system has none.
PowerRecord PowerFromSystemStatus(const platform::machine::SystemPowerStatus& status);

// --- remote desktop ------------------------------------------------------------

// Image names of remote-desktop and remote-control programs.
const std::vector<std::wstring_view>& RemoteDesktopProcessNames();
bool IsRemoteDesktopImage(std::wstring_view image_name);
// Whether the session itself is remote, from its variables.
bool IsRemoteSession(const std::function<std::optional<std::string>(const char*)>& env);

class RemoteDesktopProbe {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Probe = std::function<int()>;
  RemoteDesktopProbe(Clock now, Probe probe);
  static RemoteDesktopProbe& Instance();
  int Get();  // 1 or 0; reused for 10 seconds

 private:
  Clock now_;
  Probe probe_;
  std::mutex mutex_;
  std::optional<int> result_;
  std::chrono::steady_clock::time_point taken_;
};

// The probe itself, uncached: the session, then the running programs (the
// walk hands each image name to `visit` until it returns false; non-zero
// when the list cannot be read).
using ProcessWalk =
    std::function<std::uint32_t(const std::function<bool(std::wstring_view image)>& visit)>;
int ProbeRemoteDesktop(const std::function<bool()>& remote_session, const ProcessWalk& walk);
// The session judged by its variables.
int ProbeRemoteDesktop(const std::function<std::optional<std::string>(const char*)>& env,
                       const ProcessWalk& walk);
// The walk over this machine's processes.
std::uint32_t WalkRunningImages(const std::function<bool(std::wstring_view image)>& visit);
// This session (its variables here; the system's remote-session metrics on
// Windows) and this machine's programs.
int ProbeRemoteDesktop();
int IsRemoteDesktop();

// --- security software ---------------------------------------------------------

// Sum of the values of the distinct product families named.
unsigned SecuritySoftwareTypeFromNames(const std::vector<std::string>& display_names);
// Display names of the installed antivirus products this machine reports.
std::vector<std::string> QueryAntivirusNames();
// Detects and stores the type (run by the client on a thread of its own).
void DetectSecuritySoftware();

class SecuritySoftwareProbe {
 public:
  explicit SecuritySoftwareProbe(std::function<std::wstring()> exe_name);
  static SecuritySoftwareProbe& Instance();
  unsigned Get();

 private:
  std::function<std::wstring()> exe_name_;
  std::mutex mutex_;
  unsigned cache_ = 0xFFFFFFFF;
  std::once_flag detect_once_;
};

unsigned GetSecuritySoftwareType();

}  // namespace system_probes
