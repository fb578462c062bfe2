// Probe intervals kept as a time stamp in a registry value: wall-clock
// milliseconds since 1970, in the value `value_name` under the product's
// registry root (MultiInst::GetComponentRegRoot(0)) of `root`, so the next
// run and other processes see it.
#pragma once

#include <cstdint>
#include <string>

#include "base/win_types.h"

namespace base::misc {

class Duration {
 public:
  Duration(std::wstring value_name, HKEY root);
  // True when at least `ms` milliseconds have passed since the stored stamp
  // (or no stamp exists, or the stamp lies in the future because the clock
  // was set back); then the stamp is set to now.
  bool CheckElapsed(std::uint64_t ms);

 private:
  std::wstring value_name_;
  HKEY root_;
};

}  // namespace base::misc
