// One QGuiApplication for the whole test program, on the offscreen platform.
// A test folder registers it once, from a file of its own:
//   int g_argc = 1;
//   char g_arg0[] = "name";
//   char* g_argv[] = {g_arg0, nullptr};
//   [[maybe_unused]] ::testing::Environment* const g_env =
//       ::testing::AddGlobalTestEnvironment(new testenv::QtGuiEnvironment(g_argc, g_argv));
#pragma once

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>

namespace testenv {

class QtGuiEnvironment : public ::testing::Environment {
 public:
  // The application keeps `argc` and `argv`: both must outlive the program.
  QtGuiEnvironment(int& argc, char** argv) : argc_(argc), argv_(argv) {}

  void SetUp() override {
    if (QCoreApplication::instance() != nullptr) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = new QGuiApplication(argc_, argv_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int& argc_;
  char** argv_;
  QGuiApplication* app_ = nullptr;
};

}  // namespace testenv
