// Main routine of the update helper: one straight pass on the main thread,
// no event loop, exit code 0 whatever the stages did. The program's entry
// (entry_posix.cpp, entry_win.cpp) hands it the arguments.
#include <QApplication>
#include <string>
#include <vector>

#include "base/multi_inst.h"
#include "boot/initialize.h"
#include "boot/qt_platform.h"
#include "common/app_manager/installed_app_store.h"
#include "common/config/app_config_refresh.h"
#include "common/report/reporter.h"
#include "platform/files.h"
#include "platform/session.h"
#include "qtbaseex/log/logger.h"
#include "update/update.h"
#include "main.h"

int UpdateMain(int argc, char** argv) {
  // Every program the helper starts gets the environment the helper was
  // started with, not the settings below, which are for this process only.
  platform::CaptureStartEnvironment();
  // The product instance comes first of all: the runtime directory below
  // already lives in its home. Start-up's own Init then finds it done.
  MultiInst::Instance()->Init(L"Quarrion", 0);

  // A platform Qt could not start would abort the helper in QApplication's
  // constructor; the plan always ends in a headless one.
  const boot::QtStart qt = boot::PlanQtStart(
      std::vector<std::string>(argv, argv + argc),
      platform::ReadEnvironmentVariable("QT_QPA_PLATFORM").value_or(std::string()),
      platform::AvailableDisplayServers());
  if (!qt.platform_variable.empty()) {
    static_cast<void>(platform::WriteEnvironmentVariable("QT_QPA_PLATFORM", qt.platform_variable));
  }
  // Without a session runtime directory Qt makes one of its own in /tmp; keep
  // even that inside the product home.
  static_cast<void>(
      platform::EnsureRuntimeDirectory(MultiInst::Instance()->Home() / "temp" / "runtime"));

  // Qt's own copy of the arguments; it takes its options out of this one.
  std::vector<std::string> qt_strings = qt.arguments;
  std::vector<char*> qt_argv;
  for (std::string& argument : qt_strings) qt_argv.push_back(argument.data());
  qt_argv.push_back(nullptr);
  int qt_argc = static_cast<int>(qt_strings.size());
  QApplication application(qt_argc, qt_argv.data());
  boot::KeepStartupWarning(
      boot::QtPlatformWarning(qt.wanted, QGuiApplication::platformName().toStdString()));

  boot::Initialize();

  update::RestartAppStore();

  {
    // One guest file per application goes into the same folder: each file
    // is synced before its rename, the folder once at the end.
    const platform::files::DirectorySyncBatch guest_folder_sync;
    config::RefreshBuiltinPackagesConfig();

    InstalledAppStore store("");
    {
      const std::vector<InstalledAppInfo> apps = store.QueryInstalledApps("");
      for (const InstalledAppInfo& app : apps) config::RefreshAppConfig(app.package_name);
    }  // the list goes first, then the store
  }

  // Shutdown. Destroying the reporter's worker sends every queued event; only
  // then may the SDK go away, and the log last of all.
  nimbrel_report::Reporter::Instance().TakeWorker().reset();
  skirra::SkirraClient::UninitSDK();

  qtbaseex::log::Logger::Instance()->UnInitialize();
  return 0;
}
