// The Qt start plan from the arguments, QT_QPA_PLATFORM and the session's
// displays: what Qt is handed and which platform the warning would name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/qt_platform.h"

namespace {

struct PlanCase {
  const char* name;
  std::vector<std::string> arguments;  // after the program
  std::string variable;
  platform::DisplayServers servers;
  std::string wanted;
  std::string variable_after;          // QT_QPA_PLATFORM set for Qt; empty: untouched
  std::vector<std::string> qt_arguments;  // after the program; empty: as given
};

class QtStartPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(QtStartPlan, HandsQtTheRequestWithTheHeadlessFallbacks) {
  const PlanCase& c = GetParam();
  std::vector<std::string> arguments = {"QuarrionUpdate.exe"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  const boot::QtStart plan = boot::PlanQtStart(arguments, c.variable, c.servers);
  EXPECT_EQ(plan.wanted, c.wanted);
  EXPECT_EQ(plan.platform_variable, c.variable_after);
  std::vector<std::string> expected = {"QuarrionUpdate.exe"};
  const auto& rest = c.qt_arguments.empty() ? c.arguments : c.qt_arguments;
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(plan.arguments, expected);
}

platform::DisplayServers Desktop() {
  platform::DisplayServers servers;
  servers.windows_desktop = true;
  return servers;
}
platform::DisplayServers X11() {
  platform::DisplayServers servers;
  servers.x11 = true;
  return servers;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtStartPlan,
    ::testing::Values(
        PlanCase{"NothingAtHand", {"--appstore-pid", "7"}, "", {}, "offscreen", "offscreen;minimal", {}},
        PlanCase{"X11Session", {}, "", X11(), "xcb", "xcb;offscreen;minimal", {}},
        PlanCase{"WindowsDesktop", {}, "", Desktop(), "windows", "windows;offscreen;minimal", {}},
        // -geometry takes a value only on xcb: on a Windows desktop it is
        // a plain argument, so the -platform after it is obeyed.
        PlanCase{"GeometryOnWindowsTakesNoValue", {"-geometry", "-platform", "foo"}, "", Desktop(),
                 "foo", "", {"-geometry", "-platform", "foo;offscreen;minimal"}},
        PlanCase{"GeometryOnXcbTakesTheNext", {"-geometry", "-platform", "foo"}, "", X11(),
                 "xcb", "xcb;offscreen;minimal", {}},
        PlanCase{"VariableWins", {}, "windows:fontengine=freetype", Desktop(), "windows",
                 "windows:fontengine=freetype;offscreen;minimal", {}},
        PlanCase{"EglDropped", {"-platform", "eglfs;foo"}, "", {}, "eglfs", "",
                 {"-platform", "foo;offscreen;minimal"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
