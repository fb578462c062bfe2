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
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = posix::RetryAfterSignal([&] { return ::write(STDERR_FILENO, data, left); });
    if (n <= 0) return;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace platform::diagnostics::backend
