// The Qt platform the helper starts on. The helper never shows a window, but
// QApplication needs a platform, and one that cannot start (a plugin that is
// not there, a display that is gone or refuses us) makes Qt abort inside the
// constructor: no log, no pass, the old client never relaunched. So whatever
// the command line and the session ask for, the headless platforms are the
// last choices (a plugin that would end the process itself on failure, as
// the EGL ones do, is never tried), and a run that had to fall back to one
// says so in its log.
#pragma once

#include <string>
#include <vector>

#include "platform/session.h"

namespace boot {

struct QtStart {
  // The arguments for QApplication: the process's own, except that the value
  // of the platform option Qt obeys carries the fallbacks. Qt takes that
  // option out of its arguments anyway; the raw command line (what the
  // helper logs and parses itself) is not touched.
  std::vector<std::string> arguments;
  // QT_QPA_PLATFORM for this process; empty: leave it as it is.
  std::string platform_variable;
  // The platform asked for (or chosen from the session's displays), as Qt
  // names it; the headless "offscreen" when nothing better was at hand.
  std::string wanted;
};

// The plan from the raw arguments (program first), the session's
// QT_QPA_PLATFORM (empty: unset) and the displays it names.
QtStart PlanQtStart(const std::vector<std::string>& arguments, const std::string& platform_variable,
                    platform::DisplayServers servers);

// The warning for a run that Qt started on `started` although `wanted` was
// asked for; empty when it got what it wanted.
std::string QtPlatformWarning(const std::string& wanted, const std::string& started);

// Kept until the log runs; boot::Initialize writes them as its first lines.
void KeepStartupWarning(std::string warning);
std::vector<std::string> TakeStartupWarnings();

}  // namespace boot
