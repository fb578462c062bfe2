#include "boot/initialize.h"

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

#include "base/multi_inst.h"
#include "boot/crash_reporting.h"
#include "boot/qt_platform.h"
#include "command_line.h"
#include "common/common_hook/common_hook.h"
#include "common/report/params/start_reporting.h"
#include "platform/diagnostics.h"
#include "qtbaseex/helpers.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"
#include "qtbaseex/log/logger.h"
#include "qtbaseex/qdebug_ext.h"

namespace boot {

namespace {

// What the OS layer repaired or skipped on its own (a damaged registry file,
// unreadable process entries) reaches the log from here on, with whatever
// it noted before the log ran.
void LogPlatformNote(std::string_view note) { qCWarning(lc_app_launch).noquote() << note; }

}  // namespace

void Initialize() {
  MultiInst::Instance()->Init(L"Quarrion", 0);
  qtbaseex::log::Logger::Instance()->Initialize();
  // What start-up had to settle before there was a log (the Qt platform).
  for (const std::string& warning : TakeStartupWarnings()) {
    qCWarning(lc_app_launch).noquote() << warning;
  }
  platform::diagnostics::SetSink(&LogPlatformNote);

  StartReporting();

  InitCrashReporting(MakeUpdateCrashReportConfig());

  QX_SIGNED_LOG(info, lc_app_launch, "void __cdecl boot::Initialize(void)").noquote().nospace()
      << qtbaseex::process::CurrentCmd();

  common_hook::InstallTerminateProcessHook();

  // Options are parsed last: nothing above may depend on them.
  command_line::Setup(QStringList{QStringLiteral("appstore-pid"),
                                  QStringLiteral("launch-store-tray"),
                                  QStringLiteral("pseudo-protocol"),
                                  QStringLiteral("restore-language-restart-apps")});
}

}  // namespace boot

// Runs on the crashing thread, after the handler has written its record.
void CrashCallBack(IVexilAgent* /*agent*/, void* /*context*/) {
  ReportProcessCrashEvent(L"QuarrionUpdate");
  QX_SIGNED_LOG(critical, lc_app_launch, "void __cdecl CrashCallBack(class IVexilAgent *,void *)")
          .noquote()
      << "Nimbrel update crash happen";
}
