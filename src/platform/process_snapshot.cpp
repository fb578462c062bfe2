// The snapshot is one walk of the list on every system: /proc here, a
// tool-help snapshot on Windows, both behind EnumerateProcesses.
#include "platform/process.h"

namespace platform {

Result<ProcessSnapshot> TakeProcessSnapshot() {
  ProcessSnapshot snapshot;
  const ErrorCode err = EnumerateProcesses([&](const ProcessEntry& e) {
    snapshot.entries.push_back(e);
    return true;
  });
  if (err != kErrorSuccess) return Fail(err);
  return snapshot;
}

}  // namespace platform
