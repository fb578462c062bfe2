// Names for the numbers the product environment is asked with: component
// types (MultiInst's component arguments) and application-data directory
// types.
#pragma once

#include "base/multi_inst.h"

namespace constants {

inline constexpr ComponentType kComponentProduct = 0;  // the product as a whole
inline constexpr ComponentType kComponentClient = 1;
inline constexpr ComponentType kComponentEmulator = 2;
inline constexpr ComponentType kComponentVm = 3;
inline constexpr ComponentType kComponentService = 4;
inline constexpr ComponentType kComponentAssistant = 13;
inline constexpr ComponentType kComponentUpdate = 201;

// The databases and the analytics SDK's data.
inline constexpr AppdataDirectoryType kAppdataDatabases = 4;

}  // namespace constants
