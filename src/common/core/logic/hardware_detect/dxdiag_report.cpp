#include "common/core/logic/hardware_detect/dxdiag_report.h"

#include <cctype>
#include <optional>
#include <utility>

namespace graphic_info {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string ValueAfterColon(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  return std::string(Trim(line.substr(colon + 1)));
}

}  // namespace

bool ContainsNoCase(std::string_view text, std::string_view what) {
  return Lower(text).find(Lower(what)) != std::string::npos;
}

std::vector<GraphicDriverInfoFromDXDiag> ParseDxDiagReport(std::string_view report) {
  std::vector<GraphicDriverInfoFromDXDiag> devices;
  std::optional<GraphicDriverInfoFromDXDiag> entry;
  bool in_display = false;
  while (!report.empty()) {
    const auto end = report.find('\n');
    const std::string_view line = report.substr(0, end);
    report = end == std::string_view::npos ? std::string_view{} : report.substr(end + 1);
    if (!in_display) {
      in_display = ContainsNoCase(line, "Display Devices");
      continue;
    }
    if (ContainsNoCase(line, "Sound Devices")) break;
    if (ContainsNoCase(line, "Card name:")) {
      entry = GraphicDriverInfoFromDXDiag{};
      entry->card_name = ValueAfterColon(line);
    } else if (!entry) {
      continue;
    } else if (ContainsNoCase(line, "Manufacturer:")) {
      entry->manufacturer = ValueAfterColon(line);
    } else if (ContainsNoCase(line, "Driver Version:")) {
      entry->driver_version = ValueAfterColon(line);
    } else if (ContainsNoCase(line, "Driver Date/Size:")) {
      const std::string value = ValueAfterColon(line);
      entry->driver_date = std::string(Trim(std::string_view(value).substr(0, value.find(','))));
      devices.push_back(std::move(*entry));
      entry.reset();
    }
  }
  return devices;
}

std::string ClassifyVendor(std::string_view vendor, std::string_view renderer) {
  const std::string text = std::string(vendor) + " " + std::string(renderer);
  static constexpr std::pair<const char*, const char*> kRules[] = {
      {"NVIDIA", "NVIDIA"}, {"AMD", "AMD"},     {"ATI", "AMD"},
      {"Radeon", "AMD"},    {"Intel", "Intel"}, {"Qualcomm", "Qualcomm"},
  };
  for (const auto& [needle, vendor_class] : kRules) {
    if (text.find(needle) != std::string::npos) return vendor_class;
  }
  if (ContainsNoCase(text, "Microsoft")) return "Microsoft";
  return "UNKNOWN";
}

}  // namespace graphic_info
