// The restart of the client after an update: the old client and the emulator
// are ended, old version directories are removed and the client is started
// again.
#pragma once

namespace update {

// Runs the whole restart on the calling thread and returns once the client
// launch has been issued. Waits without limit for the process named by the
// "appstore-pid" option.
void RestartAppStore();

}  // namespace update
