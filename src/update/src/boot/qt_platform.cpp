#include "boot/qt_platform.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>
#include <utility>

#include "qtbaseex/monitor/screen_facts.h"

namespace boot {

namespace {

// Never fail to start: offscreen needs nothing, minimal is its spare.
constexpr char kFallbacks[] = "offscreen;minimal";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The first platform of a list as Qt names it: "xcb:arg;offscreen" -> "xcb".
std::string FirstPlatform(std::string_view list) {
  const std::string_view first = list.substr(0, list.find(';'));
  return Lower(std::string(first.substr(0, first.find(':'))));
}

// Platforms whose plugin ends the process itself when it cannot start (the
// EGL ones without a usable EGL display) instead of handing Qt the failure:
// a fallback after them would never be reached, so they are left out.
bool AbortsWhenItCannotStart(std::string_view name) {
  return name.rfind("eglfs", 0) == 0 || name == "minimalegl";
}

std::string WithFallbacks(std::string_view list) {
  std::string kept;
  while (true) {
    const std::size_t end = list.find(';');
    const std::string_view entry = list.substr(0, end);
    if (!AbortsWhenItCannotStart(FirstPlatform(entry))) {
      kept.append(entry).append(";");
    }
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return kept + kFallbacks;
}

std::mutex& WarningsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::string>& Warnings() {
  static std::vector<std::string> warnings;
  return warnings;
}

}  // namespace

QtStart PlanQtStart(const std::vector<std::string>& arguments, const std::string& platform_variable,
                    platform::DisplayServers servers) {
  QtStart plan;
  plan.arguments = arguments;

  // Read the arguments as QGuiApplication does: one leading dash of two is
  // dropped, its options with a value take the next argument, and the last
  // -platform wins over QT_QPA_PLATFORM. -geometry takes a value only while
  // the platform named so far is xcb (the default here).
  // Qt's own default: the Windows plugin where there is a Windows desktop.
  const std::string default_platform = servers.windows_desktop ? "windows" : "xcb";
  std::string named = platform_variable.empty() ? default_platform : platform_variable;
  std::size_t platform_value = 0;  // index of the obeyed -platform's value; 0: none
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    std::string_view arg = arguments[i];
    if (arg.size() < 2 || arg[0] != '-') continue;
    if (arg[1] == '-') arg.remove_prefix(1);
    const bool xcb = named.rfind("xcb", 0) == 0;
    const bool takes_value = arg == "-platform" || arg == "-platformpluginpath" ||
                             arg == "-platformtheme" || arg == "-qwindowgeometry" ||
                             arg == "-qwindowtitle" || arg == "-qwindowicon" ||
                             (xcb && arg == "-geometry");
    if (!takes_value || i + 1 >= arguments.size()) continue;
    ++i;
    if (arg == "-platform") {
      named = arguments[i];
      platform_value = i;
    }
  }

  if (platform_value != 0) {
    plan.wanted = FirstPlatform(arguments[platform_value]);
    plan.arguments[platform_value] = WithFallbacks(arguments[platform_value]);
  } else if (!platform_variable.empty()) {
    plan.wanted = FirstPlatform(platform_variable);
    plan.platform_variable = WithFallbacks(platform_variable);
  } else {
    // Nothing asked for: the session's displays, real facts first.
    std::string list;
    if (servers.windows_desktop) list += "windows;";
    if (servers.x11) list += "xcb;";
    if (servers.wayland) list += "wayland;";
    plan.wanted = servers.windows_desktop ? "windows"
                  : servers.x11           ? "xcb"
                  : servers.wayland       ? "wayland"
                                          : "offscreen";
    plan.platform_variable = list + kFallbacks;
  }
  return plan;
}

std::string QtPlatformWarning(const std::string& wanted, const std::string& started) {
  if (Lower(started) == wanted) return {};
  std::string warning = "the Qt platform \"" + wanted + "\" could not be started: running on \"" +
                        started + "\"";
  if (!qtbaseex::monitor::IsRealScreenPlatform(QString::fromStdString(started))) {
    warning += ", without a screen";
  }
  return warning;
}

void KeepStartupWarning(std::string warning) {
  if (warning.empty()) return;
  std::lock_guard lock(WarningsMutex());
  Warnings().push_back(std::move(warning));
}

std::vector<std::string> TakeStartupWarnings() {
  std::lock_guard lock(WarningsMutex());
  return std::exchange(Warnings(), {});
}

}  // namespace boot
