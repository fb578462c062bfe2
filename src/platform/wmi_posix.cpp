// No WMI here, and no other register of antivirus products.
#include "platform/wmi.h"

namespace platform::wmi {

Answer QueryTexts(std::wstring_view, std::wstring_view, std::wstring_view) {
  constexpr ErrorCode kErrorNotSupported = 50;
  Answer answer;
  answer.error = kErrorNotSupported;
  answer.failed_step = Step::kInitialize;
  return answer;
}

}  // namespace platform::wmi
