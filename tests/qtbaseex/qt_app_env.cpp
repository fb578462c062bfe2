// The application is started with arguments that the command-line helper
// must render back.
#include "support/qt_gui_env.h"

namespace {

int g_argc = 4;
char g_arg0[] = "qtbaseex_test";
char g_arg1[] = "two words";
char g_arg2[] = "say \"hi\"";
char g_arg3[] = "C:\\dir\\";
char* g_argv[] = {g_arg0, g_arg1, g_arg2, g_arg3, nullptr};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new testenv::QtGuiEnvironment(g_argc, g_argv));

}  // namespace
