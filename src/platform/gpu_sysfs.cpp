#include "platform/gpu_sysfs.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

#include "platform/error.h"
#include "platform/system_text.h"

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

// Trees read as files: the live one on Linux, captured ones on any system.
namespace platform::gpu {
namespace {

bool IsAbsence(ErrorCode code) { return code == kErrorFileNotFound || code == kErrorPathNotFound; }

// An attribute the driver may not publish: absent is fine, unreadable is not.
Result<std::optional<std::string>> ReadAttribute(const std::filesystem::path& path) {
  auto text = ReadSystemText(path, 4096);
  if (!text) {
    if (IsAbsence(text.error())) return std::optional<std::string>();
    return Fail(text.error());
  }
  return std::optional<std::string>(std::move(*text));
}

ErrorCode FromStd(const std::error_code& ec) {
  if (ec == std::errc::no_such_file_or_directory) return kErrorPathNotFound;
  if (ec == std::errc::permission_denied) return kErrorAccessDenied;
  return kErrorGenFailure;
}

}  // namespace

Result<std::vector<DrmAdapter>> ReadDrmTree(const std::filesystem::path& drm_root) {
  std::error_code ec;
  std::vector<std::pair<unsigned, std::string>> cards;
  std::filesystem::directory_iterator it(drm_root, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return std::vector<DrmAdapter>();
    return Fail(FromStd(ec));
  }
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (auto n = ParseDrmCardName(name)) cards.emplace_back(*n, name);
  }
  if (ec) return Fail(FromStd(ec));
  std::sort(cards.begin(), cards.end());

  std::vector<DrmAdapter> out;
  for (const auto& [index, name] : cards) {
    const std::filesystem::path device = drm_root / name / "device";
    DrmAdapter adapter;
    adapter.card = name;
    auto vendor = ReadAttribute(device / "vendor");
    auto device_id = ReadAttribute(device / "device");
    auto uevent = ReadAttribute(device / "uevent");
    auto boot_vga = ReadAttribute(device / "boot_vga");
    auto vram_total = ReadAttribute(device / "mem_info_vram_total");
    auto vram_used = ReadAttribute(device / "mem_info_vram_used");
    for (const auto* r : {&vendor, &device_id, &uevent, &boot_vga, &vram_total, &vram_used}) {
      if (!*r) return Fail(r->error());
    }
    if (*vendor) adapter.vendor_id = ParseSysfsHex(**vendor).value_or(0);
    if (*device_id) adapter.device_id = ParseSysfsHex(**device_id).value_or(0);
    if (*uevent) adapter.driver = ParseUeventDriver(**uevent);
    if (*boot_vga) adapter.boot_vga = ParseSysfsUnsigned(**boot_vga).value_or(0) != 0;
    if (*vram_total) adapter.vram_total_bytes = ParseSysfsUnsigned(**vram_total);
    if (*vram_used) adapter.vram_used_bytes = ParseSysfsUnsigned(**vram_used);
    // The device's own drm folder lists the card and, when it renders, a renderD node.
    std::error_code list_ec;
    for (std::filesystem::directory_iterator nodes(device / "drm", list_ec);
         !list_ec && nodes != std::filesystem::directory_iterator(); nodes.increment(list_ec)) {
      if (nodes->path().filename().string().rfind("renderD", 0) == 0) adapter.has_render_node = true;
    }
    out.push_back(std::move(adapter));
  }
  return out;
}

Result<MemInfo> ReadMemInfoFile(const std::filesystem::path& path) {
  auto text = ReadSystemText(path);
  if (!text) return Fail(text.error());
  auto info = ParseMemInfo(*text);
  if (!info) return Fail(kErrorInvalidParameter);
  return *info;
}

}  // namespace platform::gpu
