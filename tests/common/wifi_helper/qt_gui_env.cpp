// One QGuiApplication for the whole test program, on the offscreen platform:
// the screen probes read its screen and the bus connections want one.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>

namespace {

int g_argc = 1;
char g_arg0[] = "wifi_helper_test";
char* g_argv[] = {g_arg0, nullptr};

class GuiEnvironment : public ::testing::Environment {
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
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace
