#include <unistd.h>

#include <string>

#include "platform/diagnostics.h"
#include "platform/posix_util_posix.h"
#include "platform/system_text.h"

namespace platform::diagnostics::backend {

// stderr stands for the debugger's output window, but only while a tracer
// is attached (asked on every text: one may attach at any time). Otherwise
// the texts would be noise on the stderr of every run.
void WriteDebuggerText(std::string_view utf8) {
  const Result<std::string> status = ReadSystemText("/proc/self/status", 64 * 1024);
  if (!status) return;
  const std::optional<unsigned long> tracer = ParseTracerPid(*status);
  if (!tracer || *tracer == 0) return;
  // The window shows one entry per text; a stream needs the line end.
  std::string text(utf8);
  if (text.empty() || text.back() != '\n') text += '\n';
  static_cast<void>(posix::WriteAll(STDERR_FILENO, text));
}

}  // namespace platform::diagnostics::backend
