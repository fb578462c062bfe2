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
#include "common/config/app_config_refresh.h"
#include "common/report/reporter.h"
#include "qtbaseex/log/logger.h"
#include "update/update.h"

namespace {

// The helper never shows a window, but Qt still needs a platform. A display
// gives the real screen facts; without one, or with one that cannot be
// reached (a stale DISPLAY), Qt would abort the helper before it restarts
// the client, so the offscreen platform, which needs no server, is always
// the last choice. A platform the user chose stands. Returns whether it
// set the choice, which is for this process only: the programs it starts
// must not inherit it.
bool ChoosePlatformWithHeadlessFallback() {
  if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) return false;
  QByteArray platforms;
  if (!qEnvironmentVariableIsEmpty("DISPLAY")) platforms += "xcb;";
  if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) platforms += "wayland;";
  platforms += "offscreen";
  qputenv("QT_QPA_PLATFORM", platforms);
  return true;
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
  const bool platform_chosen = ChoosePlatformWithHeadlessFallback();
  ChooseRuntimeDirectoryIfNeeded();
  QApplication application(argc, argv);
  if (platform_chosen) qunsetenv("QT_QPA_PLATFORM");  // read once, at construction

  boot::Initialize();

  update::RestartAppStore();

  config::RefreshBuiltinPackagesConfig();

  {
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
