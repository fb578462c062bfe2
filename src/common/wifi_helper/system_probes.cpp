#include "common/wifi_helper/system_probes.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "base/gstring.h"
#include "base/hardware_detect_system.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "base/reg.h"
#include "platform/process.h"
#include "platform/wmi.h"

namespace system_probes {

// --- screen --------------------------------------------------------------------

std::string ResolutionText(const std::optional<ScreenFacts>& screen) {
  const int w = screen ? screen->width : 0;
  const int h = screen ? screen->height : 0;
  return fmt::format("{}x{}", w, h);
}

std::string RefreshRateText(const std::optional<ScreenFacts>& screen) {
  if (!screen) return {};
  const double rate = screen->refresh_rate;
  if (!std::isfinite(rate) || rate < 0 || rate > 100000) return "0";
  return std::to_string(static_cast<int>(std::lround(rate)));
}

std::string DpiText(const std::wstring& stored, const std::optional<ScreenFacts>& screen) {
  if (!stored.empty()) return base::gstring::ToUtf8(stored);
  double dpi = screen ? screen->logical_dpi_x : 0;
  if (!std::isfinite(dpi) || dpi < 0 || dpi > 1e6) dpi = 0;
  // The device reports whole pixels per inch; the scale is single precision.
  const float scale = static_cast<float>(std::lround(dpi)) / 96.0f;
  return fmt::format("{:.2f}", scale);
}

std::string ScreenInchText(const std::optional<ScreenFacts>& screen) {
  if (!screen) return "-1";
  // Sizes in whole millimetres, as the display reports them.
  const auto mm = [](double v) {
    return std::isfinite(v) && v > 0 && v < 1e6 ? static_cast<double>(std::lround(v)) : 0.0;
  };
  const double h = mm(screen->width_mm);
  const double v = mm(screen->height_mm);
  return fmt::format("{:.1f}", std::sqrt(h * h + v * v) / 25.4);
}

std::wstring StoredCurrentDpi() {
  return base::reg::GetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(1),
                             L"CurrentDpi", L"");
}

// --- memory --------------------------------------------------------------------

std::string GetAvailableMemoryText() {
  const MEMORYSTATUSEX status = base::hardware_detect::GetGlobalMemoryInfo();
  if (status.dwLength == 0) return "DEFAULT_VALUE";
  return std::to_string(status.ullAvailPhys >> 20);
}

// --- power ---------------------------------------------------------------------

PowerRecord PowerFromSupplies(const std::vector<std::string>& uevents) {
  PowerRecord record;
  bool any_online = false;
  bool any_offline = false;
  for (const std::string& text : uevents) {
    const auto supply = platform::machine::ParsePowerSupplyUevent(text);
    // A mouse's or a headset's battery says nothing about the machine.
    if (supply.scope == "Device") continue;
    if (supply.type == "Battery") {
      if (supply.present.value_or(true)) record.has_battery = true;
    } else if (supply.type == "Mains" || supply.type.rfind("USB", 0) == 0) {
      if (supply.online == true) any_online = true;
      if (supply.online == false) any_offline = true;
    }
  }
  if (any_online) record.ac_line_status = 1;
  else if (any_offline) record.ac_line_status = 0;
  return record;
}

void GetPowerStatus(const platform::machine::Reader& reader, PowerRecord& record) {
  auto uevents = reader.PowerSupplyUevents();
  if (!uevents) return;  // the record keeps its starting values
  record = PowerFromSupplies(*uevents);
}

PowerRecord PowerFromSystemStatus(const platform::machine::SystemPowerStatus& status) {
  constexpr std::uint8_t kNoSystemBattery = 128;
  PowerRecord record;
  record.ac_line_status = status.ac_line_status;
  record.has_battery = (status.battery_flag & kNoSystemBattery) == 0;
  return record;
}

// --- remote desktop ------------------------------------------------------------

const std::vector<std::wstring_view>& RemoteDesktopProcessNames() {
  static const std::vector<std::wstring_view> names = {
      L"mstsc.exe", L"rdpclip.exe", L"rdpinit.exe", L"TeamViewer.exe", L"AnyDesk.exe",
      L"vncserver.exe", L"ultravnc.exe", L"splashtop.exe", L"chrome_remote_desktop_host.exe",
      L"tuvalsapp.exe", L"KivRemote.exe",
      // The same kind of programs under their names on this system.
      L"xrdp", L"xrdp-sesman", L"x11vnc", L"Xvnc", L"vino-server", L"krfb",
      L"gnome-remote-desktop-daemon", L"teamviewerd", L"anydesk", L"rustdesk",
      L"chrome-remote-desktop-host"};
  return names;
}

bool IsRemoteDesktopImage(std::wstring_view image) {
  const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; };
  for (std::wstring_view name : RemoteDesktopProcessNames()) {
    if (name.size() == image.size() &&
        std::equal(name.begin(), name.end(), image.begin(),
                   [&](wchar_t a, wchar_t b) { return lower(a) == lower(b); })) {
      return true;
    }
  }
  return false;
}

bool IsRemoteSession(const std::function<std::optional<std::string>(const char*)>& env) {
  for (const char* name : {"XRDP_SESSION", "XRDP_SOCKET_PATH"}) {
    if (auto v = env(name); v && !v->empty()) return true;
  }
  // "host:0" is a display on another machine (a forwarded one too); ":0"
  // and "unix:0" are this machine's own.
  if (auto display = env("DISPLAY")) {
    const std::size_t colon = display->rfind(':');
    if (colon != std::string::npos && colon > 0) {
      const std::string host = display->substr(0, colon);
      if (host != "unix" && host.front() != '/') return true;
    }
  }
  return false;
}

int ProbeRemoteDesktop(const std::function<bool()>& remote_session, const ProcessWalk& walk) {
  if (remote_session()) return 1;  // no need to look at the programs
  bool found = false;
  const std::uint32_t error = walk([&](std::wstring_view image) {
    if (IsRemoteDesktopImage(image)) found = true;
    return !found;
  });
  if (error != 0) return 0;
  return found ? 1 : 0;
}

int ProbeRemoteDesktop(const std::function<std::optional<std::string>(const char*)>& env,
                       const ProcessWalk& walk) {
  return ProbeRemoteDesktop([&] { return IsRemoteSession(env); }, walk);
}

std::uint32_t WalkRunningImages(const std::function<bool(std::wstring_view)>& visit) {
  return platform::EnumerateProcesses(
      [&](const platform::ProcessEntry& e) { return visit(e.exe_file); });
}

RemoteDesktopProbe::RemoteDesktopProbe(Clock now, Probe probe)
    : now_(std::move(now)), probe_(std::move(probe)) {}

RemoteDesktopProbe& RemoteDesktopProbe::Instance() {
  static RemoteDesktopProbe* const probe =
      new RemoteDesktopProbe([] { return std::chrono::steady_clock::now(); },
                             [] { return ProbeRemoteDesktop(); });
  return *probe;
}

int RemoteDesktopProbe::Get() {
  std::lock_guard lock(mutex_);
  const auto now = now_();
  if (result_ && now - taken_ < std::chrono::seconds(10)) return *result_;
  result_ = probe_();
  taken_ = now;
  return *result_;
}

int IsRemoteDesktop() { return RemoteDesktopProbe::Instance().Get(); }

// --- security software ---------------------------------------------------------

unsigned SecuritySoftwareTypeFromNames(const std::vector<std::string>& names) {
  static const std::pair<std::string_view, unsigned> kKeywords[] = {
      {"Velmora", 1}, {"360", 10}, {"金山", 100}, {"瑞星", 1000}, {"火绒", 10000}};
  unsigned sum = 0;
  std::set<unsigned> seen;
  for (const std::string& name : names) {
    for (const auto& [keyword, value] : kKeywords) {
      if (name.find(keyword) == std::string::npos) continue;
      if (value != 0 && seen.insert(value).second) sum += value;
      break;  // one family per product
    }
  }
  return sum;
}

std::vector<std::string> QueryAntivirusNames() {
  // A failing step leaves the names read before it; none where there is no
  // register of antivirus products at all.
  return platform::wmi::QueryAntivirusDisplayNames().texts;
}

void DetectSecuritySoftware() {
  const unsigned sum = SecuritySoftwareTypeFromNames(QueryAntivirusNames());
  base::reg::SetValue(HKEY_LOCAL_MACHINE, MultiInst::Instance()->GetComponentRegRoot(0),
                      L"SecuritySoftwareType", sum);
}

SecuritySoftwareProbe::SecuritySoftwareProbe(std::function<std::wstring()> exe_name)
    : exe_name_(std::move(exe_name)) {}

SecuritySoftwareProbe& SecuritySoftwareProbe::Instance() {
  static SecuritySoftwareProbe* const probe =
      new SecuritySoftwareProbe([] { return base::process::GetCurrentExeName(); });
  return *probe;
}

unsigned SecuritySoftwareProbe::Get() {
  std::lock_guard lock(mutex_);
  if (cache_ != 0xFFFFFFFF) return cache_;
  const std::wstring exe = exe_name_ ? exe_name_() : std::wstring();
  const auto lower = [](std::wstring s) {
    for (wchar_t& c : s) c = (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c;
    return s;
  };
  if (lower(exe) == L"quarrion.exe") {
    std::call_once(detect_once_, [] { std::thread(&DetectSecuritySoftware).detach(); });
  }
  const std::wstring root = MultiInst::Instance()->GetComponentRegRoot(0);
  if (!base::reg::IsExist(HKEY_LOCAL_MACHINE, root, L"SecuritySoftwareType")) return 0;
  const std::uint64_t value = base::reg::GetValue(HKEY_LOCAL_MACHINE, root, L"SecuritySoftwareType", 0);
  // The stored number is a DWORD; anything wider is not ours.
  cache_ = value > 0xFFFFFFFEu ? 0u : static_cast<unsigned>(value);
  return cache_;
}

unsigned GetSecuritySoftwareType() { return SecuritySoftwareProbe::Instance().Get(); }

}  // namespace system_probes
