// One QGuiApplication for the whole test program, on the offscreen platform,
// started with arguments that the command-line helper must render back.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>

namespace {

int g_argc = 4;
char g_arg0[] = "qtbaseex_test";
char g_arg1[] = "two words";
char g_arg2[] = "say \"hi\"";
char g_arg3[] = "C:\\dir\\";
char* g_argv[] = {g_arg0, g_arg1, g_arg2, g_arg3, nullptr};

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() != nullptr) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = new QGuiApplication(g_argc, g_argv);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QGuiApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace
