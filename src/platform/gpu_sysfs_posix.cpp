#include <algorithm>
#include <system_error>

#include "platform/gpu_sysfs.h"
#include "platform/error.h"
#include "platform/system_text.h"

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

Result<std::vector<DrmAdapter>> EnumerateDrmAdapters(const std::filesystem::path& drm_root) {
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

Result<MemInfo> ReadMemInfo(const std::filesystem::path& path) {
  auto text = ReadSystemText(path);
  if (!text) return Fail(text.error());
  auto info = ParseMemInfo(*text);
  if (!info) return Fail(kErrorInvalidParameter);
  return *info;
}

}  // namespace platform::gpu
