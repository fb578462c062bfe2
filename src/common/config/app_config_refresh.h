// The configuration refresh of one run: the built-in packages, then each
// installed application, each handled to the end (fetch or stored documents,
// store, insert, guest file) before the next starts.
#pragma once

#include <string>
#include <vector>

#include "common/data/native_config.h"

namespace config {

// Refreshed first, in this order.
inline constexpr const char* kBuiltinPackages[] = {"com.morvath.nimbrel", "com.morvath.launcher",
                                                   "com.android.camera2"};

void RefreshBuiltinPackagesConfig();
void RefreshAppConfig(const std::string& package);
// A record from the stored documents (defaults where none is stored); never fails.
NativeConfig LoadNativeConfigFromStore(const std::string& package);

// The printable form of a package name for a log line: bytes outside
// printable ASCII as \xNN, cut after 64 bytes.
std::string PrintablePackageName(const std::string& package);

}  // namespace config
