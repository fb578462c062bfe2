#include "platform/gpu_sysfs.h"

#include <charconv>
#include <limits>

namespace platform::gpu {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view s, int base) {
  if (s.empty()) return std::nullopt;
  T value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

// "MemTotal:       24683772 kB" -> bytes.
std::optional<std::uint64_t> MemInfoField(std::string_view line, std::string_view name) {
  if (line.substr(0, name.size()) != name || line.size() <= name.size() || line[name.size()] != ':')
    return std::nullopt;
  std::string_view rest = Trim(line.substr(name.size() + 1));
  std::uint64_t unit = 1;
  if (rest.size() >= 2 && rest.substr(rest.size() - 2) == "kB") {
    unit = 1024;
    rest = Trim(rest.substr(0, rest.size() - 2));
  }
  const auto n = ParseNumber<std::uint64_t>(rest, 10);
  if (!n || *n > std::numeric_limits<std::uint64_t>::max() / unit) return std::nullopt;
  return *n * unit;
}

}  // namespace

std::optional<std::uint32_t> ParseSysfsHex(std::string_view text) {
  text = Trim(text);
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
  return ParseNumber<std::uint32_t>(text.substr(2), 16);
}

std::optional<std::uint64_t> ParseSysfsUnsigned(std::string_view text) {
  return ParseNumber<std::uint64_t>(Trim(text), 10);
}

std::string ParseUeventDriver(std::string_view text) {
  while (!text.empty()) {
    const auto eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    if (line.substr(0, 7) == "DRIVER=") return std::string(Trim(line.substr(7)));
    if (eol == std::string_view::npos) break;
    text.remove_prefix(eol + 1);
  }
  return {};
}

std::optional<unsigned> ParseDrmCardName(std::string_view name) {
  if (name.substr(0, 4) != "card") return std::nullopt;
  const std::string_view digits = name.substr(4);
  if (digits.empty() || digits.size() > 4) return std::nullopt;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return ParseNumber<unsigned>(digits, 10);
}

std::optional<MemInfo> ParseMemInfo(std::string_view text) {
  std::optional<std::uint64_t> total, available, free;
  while (!text.empty()) {
    const auto eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    if (auto v = MemInfoField(line, "MemTotal")) total = v;
    if (auto v = MemInfoField(line, "MemAvailable")) available = v;
    if (auto v = MemInfoField(line, "MemFree")) free = v;
    if (eol == std::string_view::npos) break;
    text.remove_prefix(eol + 1);
  }
  if (!total) return std::nullopt;
  MemInfo info;
  info.total_bytes = *total;
  info.available_bytes = available ? *available : free.value_or(0);
  return info;
}

}  // namespace platform::gpu
