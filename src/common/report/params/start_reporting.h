// Start-up stage of reporting: sets up the analytics SDK and the reporter,
// and starts the delayed probe thread once.
#pragma once

void StartReporting();

// What the delayed probe thread runs, 500 ms after it starts: the
// virtualisation-state cache (skipped on Windows 7) and the graphics update.
void RunDelayedProbes();
