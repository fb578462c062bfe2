// Start-up of the helper: product instance, logging, reporting, crash
// reporting, command-line log line, termination hook, options.
#pragma once

namespace boot {
void Initialize();
}  // namespace boot
