// Probe intervals kept as a time stamp in a registry value.
#pragma once

#include <cstdint>
#include <string>

#include "base/win_types.h"

namespace base::misc {

class Duration {
 public:
  Duration(std::wstring value_name, HKEY root);
  // True when at least `ms` milliseconds have passed since the stored stamp
  // (or no stamp exists); then the stamp is set to now.
  bool CheckElapsed(std::uint64_t ms);

 private:
  std::wstring value_name_;
  HKEY root_;
};

}  // namespace base::misc
