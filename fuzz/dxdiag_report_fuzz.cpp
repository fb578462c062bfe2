// libFuzzer target for the graphics texts: the diagnostic tool's report and
// the vendor class. Any input is parsed without a crash or sanitizer report;
// no field is longer than the input, and a date never keeps its comma.
// Built by scripts/fuzz-graphics.sh; not part of the normal build.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/core/logic/hardware_detect/dxdiag_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& device : graphic_info::ParseDxDiagReport(text)) {
    if (device.card_name.size() > size || device.manufacturer.size() > size ||
        device.driver_version.size() > size || device.driver_date.size() > size) {
      __builtin_trap();
    }
    if (device.driver_date.find(',') != std::string_view::npos) __builtin_trap();
  }
  const std::string_view half = text.substr(0, size / 2);
  if (graphic_info::ClassifyVendor(half, text.substr(size / 2)).empty()) __builtin_trap();
  return 0;
}
