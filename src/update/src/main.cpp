// Entry of the update helper: one straight pass on the main thread, no event
// loop, exit code 0 whatever the stages did.
#include <QApplication>
#include <QByteArray>
#include <vector>

#include "base/multi_inst.h"
#include "boot/initialize.h"
#include "common/app_manager/installed_app_store.h"
#include "common/config/app_config_refresh.h"
#include "common/report/reporter.h"
#include "platform/session.h"
#include "qtbaseex/log/logger.h"
#include "update/update.h"

namespace {

// The helper never shows a window, but Qt still needs a platform. A display
// gives the real screen facts; without one, or with one that cannot be
// reached (a stale DISPLAY), Qt would abort the helper before it restarts
// the client, so the offscreen platform, which needs no server, is always
// the last choice. A platform the user chose stands.
void ChoosePlatformWithHeadlessFallback() {
  if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) return;
  const platform::DisplayServers servers = platform::AvailableDisplayServers();
  QByteArray platforms;
  if (servers.x11) platforms += "xcb;";
  if (servers.wayland) platforms += "wayland;";
  platforms += "offscreen";
  qputenv("QT_QPA_PLATFORM", platforms);
}

}  // namespace

int main(int argc, char** argv) {
  // Every program the helper starts gets the environment the helper was
  // started with, not the settings below, which are for this process only.
  platform::CaptureStartEnvironment();
  ChoosePlatformWithHeadlessFallback();
  // Without a session runtime directory Qt makes one of its own in /tmp; keep
  // even that inside the product home.
  static_cast<void>(
      platform::EnsureRuntimeDirectory(MultiInst::Instance()->Home() / "temp" / "runtime"));
  QApplication application(argc, argv);

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
