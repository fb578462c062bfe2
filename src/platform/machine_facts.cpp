#include "platform/machine_facts.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

namespace platform::machine {

namespace {

std::string_view Trim(std::string_view s) {
  const auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\0';
  };
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Calls `line` for each line of `text` (the last one may lack its newline).
template <typename F>
void ForEachLine(std::string_view text, F&& line) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool SplitAt(std::string_view line, char sep, std::string_view* key, std::string_view* value) {
  const std::size_t at = line.find(sep);
  if (at == std::string_view::npos) return false;
  *key = Trim(line.substr(0, at));
  *value = Trim(line.substr(at + 1));
  return true;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view s, int base = 10) {
  s = Trim(s);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::vector<std::string> SplitWords(std::string_view s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) out.emplace_back(s.substr(start, i - start));
  }
  return out;
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

CpuInfo ParseCpuInfo(std::string_view text) {
  CpuInfo info;
  bool have_flags = false;
  std::string arm_model;
  std::string arm_hardware;
  ForEachLine(text, [&](std::string_view line) {
    std::string_view key, value;
    if (!SplitAt(line, ':', &key, &value)) return;
    if (key == "processor") {
      // ARM kernels of old wrote "Processor : ARMv7 ..." too; only a number counts.
      if (ParseUnsigned(value)) ++info.processor_count;
    } else if (key == "vendor_id" && info.vendor_id.empty()) {
      info.vendor_id = std::string(value);
    } else if (key == "model name" && info.model_name.empty()) {
      info.model_name = std::string(value);
    } else if ((key == "flags" || key == "Features") && !have_flags) {
      info.flags = SplitWords(value);
      have_flags = true;
    } else if (key == "CPU implementer" && !info.has_implementer) {
      if (auto v = ParseUnsigned(value.starts_with("0x") || value.starts_with("0X")
                                     ? value.substr(2)
                                     : value,
                                 16);
          v && *v <= std::numeric_limits<std::uint32_t>::max()) {
        info.implementer = static_cast<std::uint32_t>(*v);
        info.has_implementer = true;
      }
    } else if (key == "Model" && arm_model.empty()) {
      arm_model = std::string(value);
    } else if (key == "Hardware" && arm_hardware.empty()) {
      arm_hardware = std::string(value);
    }
  });
  if (info.model_name.empty()) info.model_name = !arm_model.empty() ? arm_model : arm_hardware;
  return info;
}

std::optional<unsigned> ParseCpuListCount(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return std::nullopt;
  std::uint64_t count = 0;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t dash = item.find('-');
    const auto first = ParseUnsigned(item.substr(0, dash));
    if (!first) return std::nullopt;
    std::uint64_t last = *first;
    if (dash != std::string_view::npos) {
      const auto l = ParseUnsigned(item.substr(dash + 1));
      if (!l || *l < *first) return std::nullopt;
      last = *l;
    }
    count += last - *first + 1;
    // No machine has that many; a list that claims it is not one.
    if (count > 1u << 20) return std::nullopt;
  }
  return static_cast<unsigned>(count);
}

OsRelease ParseOsRelease(std::string_view text) {
  OsRelease out;
  ForEachLine(text, [&](std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == '#') return;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return;
    const std::string_view key = line.substr(0, eq);
    std::string_view raw = line.substr(eq + 1);
    std::string value;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      const char quote = raw.front();
      raw.remove_prefix(1);
      for (std::size_t i = 0; i < raw.size() && raw[i] != quote; ++i) {
        if (raw[i] == '\\' && quote == '"' && i + 1 < raw.size()) ++i;
        value.push_back(raw[i]);
      }
    } else {
      value = std::string(raw);
    }
    if (key == "ID") out.id = value;
    else if (key == "NAME") out.name = value;
    else if (key == "VERSION_ID") out.version_id = value;
    else if (key == "PRETTY_NAME") out.pretty_name = value;
  });
  return out;
}

MemInfo ParseMemInfo(std::string_view text) {
  MemInfo out;
  ForEachLine(text, [&](std::string_view line) {
    std::string_view key, value;
    if (!SplitAt(line, ':', &key, &value)) return;
    // "  16314204 kB": the unit is always kB in this file.
    if (value.ends_with("kB")) value = Trim(value.substr(0, value.size() - 2));
    const auto number = ParseUnsigned(value);
    if (!number) return;
    if (key == "MemTotal") out.total_kib = number;
    else if (key == "MemAvailable") out.available_kib = number;
    else if (key == "MemFree") out.free_kib = number;
    else if (key == "SwapTotal") out.swap_total_kib = number;
    else if (key == "SwapFree") out.swap_free_kib = number;
  });
  return out;
}

std::optional<std::uint64_t> ParseHexNumber(std::string_view text) {
  text = Trim(text);
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  return ParseUnsigned(text, 16);
}

std::string ParseDmiField(std::string_view text) {
  const std::string_view value = Trim(text);
  static constexpr std::array<std::string_view, 9> kPlaceholders = {
      "To be filled by O.E.M.", "To Be Filled By O.E.M.", "Default string", "System manufacturer",
      "System Product Name",    "Not Specified",          "Not Applicable", "OEM",
      "O.E.M."};
  for (std::string_view p : kPlaceholders) {
    if (IEquals(value, p)) return {};
  }
  return std::string(value);
}

std::string ParseDeviceTreeVendor(std::string_view compatible) {
  const std::string_view first = compatible.substr(0, compatible.find('\0'));
  const std::size_t comma = first.find(',');
  if (comma == std::string_view::npos) return {};
  return std::string(Trim(first.substr(0, comma)));
}

PowerSupply ParsePowerSupplyUevent(std::string_view text) {
  PowerSupply out;
  const auto flag = [](std::string_view v) -> std::optional<bool> {
    const auto n = ParseUnsigned(v);
    if (!n) return std::nullopt;
    return *n != 0;
  };
  ForEachLine(text, [&](std::string_view line) {
    std::string_view key, value;
    if (!SplitAt(line, '=', &key, &value)) return;
    if (key == "POWER_SUPPLY_TYPE") out.type = std::string(value);
    else if (key == "POWER_SUPPLY_SCOPE") out.scope = std::string(value);
    else if (key == "POWER_SUPPLY_ONLINE") out.online = flag(value);
    else if (key == "POWER_SUPPLY_PRESENT") out.present = flag(value);
  });
  return out;
}

std::uint32_t ClassifyBlockBus(std::string_view path) {
  const auto has = [&](std::string_view part) { return path.find(part) != std::string_view::npos; };
  // Most specific first: a USB stick sits behind a SCSI host too.
  if (has("/nvme")) return 17;
  if (has("/usb")) return 7;
  if (has("/mmc")) return 13;
  if (has("/virtio") || has("/xen") || has("/vmbus") || has("/block/loop") ||
      has("/block/zram") || has("/virtual/block/"))
    return 14;
  if (has("/ata")) return 11;
  if (has("/host") && has("/target")) return 1;
  return 0;
}

std::optional<bool> ParseRotational(std::string_view text) {
  const auto n = ParseUnsigned(text);
  if (!n || *n > 1) return std::nullopt;
  return *n == 1;
}

}  // namespace platform::machine
