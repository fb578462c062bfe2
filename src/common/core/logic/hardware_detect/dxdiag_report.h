// The texts of graphics facts: the diagnostic tool's report and the vendor
// class of an OpenGL vendor and renderer. Pure, no dependencies, so the
// fuzz harness builds them alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One display device of the diagnostic report.
struct GraphicDriverInfoFromDXDiag {
  std::string card_name;
  std::string manufacturer;
  std::string driver_version;
  std::string driver_date;
  bool operator==(const GraphicDriverInfoFromDXDiag&) const = default;
};

namespace graphic_info {

// The display devices of a diagnostic text report, in report order. Any text
// is accepted; what is not a complete device entry is left out.
std::vector<GraphicDriverInfoFromDXDiag> ParseDxDiagReport(std::string_view report);

// "NVIDIA", "AMD", "Intel", "Qualcomm", "Microsoft" or "UNKNOWN".
std::string ClassifyVendor(std::string_view vendor, std::string_view renderer);

// Whether `text` contains `what`, ignoring ASCII letter case.
bool ContainsNoCase(std::string_view text, std::string_view what);

}  // namespace graphic_info
