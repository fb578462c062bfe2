#include "base/misc.h"

#include <chrono>

#include "base/multi_inst.h"
#include "base/reg.h"

namespace base::misc {

Duration::Duration(std::wstring value_name, HKEY root)
    : value_name_(std::move(value_name)), root_(root) {}

bool Duration::CheckElapsed(std::uint64_t ms) {
  // Wall-clock milliseconds: the stamp must mean the same to the next run.
  const auto now = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
  const std::wstring key = MultiInst::Instance()->GetComponentRegRoot(0);
  const std::uint64_t stamp = reg::GetValue(root_, key, value_name_, std::uint64_t{0});
  // A stamp in the future (the clock was set back) counts as elapsed, or the
  // probe would stay silenced until the clock caught up.
  const bool elapsed = stamp == 0 || stamp > now || now - stamp >= ms;
  if (elapsed) reg::SetValue(root_, key, value_name_, now);
  return elapsed;
}

}  // namespace base::misc
