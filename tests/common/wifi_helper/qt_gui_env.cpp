// The screen probes read the application's screen and the bus connections
// want one.
#include "support/qt_gui_env.h"

namespace {

int g_argc = 1;
char g_arg0[] = "wifi_helper_test";
char* g_argv[] = {g_arg0, nullptr};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new testenv::QtGuiEnvironment(g_argc, g_argv));

}  // namespace
