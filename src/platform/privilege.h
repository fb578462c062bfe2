// Privileges of the calling thread that a caller switches on for one action.
// kDebug is the power to act on other users' processes (on Linux CAP_KILL in
// the thread's effective set; the thread must be permitted to hold it).
#pragma once

#include "platform/error.h"
#include "platform/result.h"

namespace platform::privilege {

enum class Privilege { kDebug };

// 1300 (ERROR_NOT_ALL_ASSIGNED): the thread is not permitted to hold it.
inline constexpr ErrorCode kErrorNotAllAssigned = 1300;

// Switches the privilege on. true: it was off and this call raised it (the
// caller lowers it again); false: it was on already.
Result<bool> Raise(Privilege privilege);
// Switches it off.
Result<void> Lower(Privilege privilege);

}  // namespace platform::privilege
