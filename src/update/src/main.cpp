// Entry of the update helper: one straight pass on the main thread, no event
// loop, exit code 0 whatever the stages did.
#include <QApplication>
#include <QByteArray>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/multi_inst.h"
#include "boot/initialize.h"
#include "common/app_manager/installed_app_store.h"
#include "common/report/reporter.h"
#include "qtbaseex/log/logger.h"
#include "update/update.h"

namespace {

// The helper never shows a window; on a machine without a display Qt still
// needs a platform, and the offscreen one needs no server.
void ChooseHeadlessPlatformIfNeeded() {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      !qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
  }
}

// Without a session runtime directory Qt makes one of its own in /tmp; keep
// even that inside the product home.
void ChooseRuntimeDirectoryIfNeeded() {
  if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
  const std::filesystem::path runtime = MultiInst::Instance()->Home() / "temp" / "runtime";
  std::error_code ec;
  std::filesystem::create_directories(runtime, ec);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, ec);
  if (!ec) qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.string()));
}

}  // namespace

int main(int argc, char** argv) {
  ChooseHeadlessPlatformIfNeeded();
  ChooseRuntimeDirectoryIfNeeded();
  QApplication application(argc, argv);

  boot::Initialize();

  update::RestartAppStore();

  // --- Refresh of the built-in packages (RefreshBuiltinPackagesConfig) goes here.

  {
    InstalledAppStore store("");
    {
      const std::vector<InstalledAppInfo> apps = store.QueryInstalledApps("");
      // --- Per-application refresh (RefreshAppConfig of each package, in list
      //     order) goes here.
      static_cast<void>(apps);
    }  // the list goes first, then the store
  }

  // Shutdown. Destroying the reporter's worker sends every queued event; only
  // then may the SDK go away, and the log last of all.
  nimbrel_report::Reporter::Instance().TakeWorker().reset();
  skirra::SkirraClient::UninitSDK();

  qtbaseex::log::Logger::Instance()->UnInitialize();
  return 0;
}
