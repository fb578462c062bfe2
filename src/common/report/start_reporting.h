// Start-up stage of reporting: sets up the analytics SDK and the reporter,
// and starts the delayed probe thread once.
#pragma once

void StartReporting();
