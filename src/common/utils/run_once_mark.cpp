#include "common/utils/run_once_mark.h"

#include <cstdint>

#include "base/multi_inst.h"
#include "base/product_constants.h"
#include "base/reg.h"

RunOnceMark::RunOnceMark(std::wstring_view name)
    : key_(MultiInst::Instance()->GetComponentRegRoot(constants::kComponentProduct) + L"\\Mark"),
      name_(name) {}

bool RunOnceMark::TestAndSet() {
  if (base::reg::GetValue(HKEY_CURRENT_USER, key_, name_, std::uint64_t{0}) != 0) return true;
  // Check and write are two steps; two processes may both run the action once.
  base::reg::SetValue(HKEY_CURRENT_USER, key_, name_, std::uint64_t{1});
  return false;
}
