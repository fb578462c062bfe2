// Graphics adapters and memory as the kernel publishes them (the DRM class
// directory and the memory summary). Raw text is read here and handed to the
// pure parsers below, which tests feed from captured fixture trees.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace platform::gpu {

// One DRM card ("cardN"): the PCI identity of its device, its driver, and
// the video memory counters its driver publishes (discrete cards only).
struct DrmAdapter {
  std::string card;                 // "card0"
  std::uint32_t vendor_id = 0;      // PCI vendor, 0 when not published
  std::uint32_t device_id = 0;
  std::string driver;               // "amdgpu", "i915", ... empty when unknown
  bool has_render_node = false;     // a renderD* node exists beside the card
  bool boot_vga = false;            // the firmware's primary display adapter
  std::optional<std::uint64_t> vram_total_bytes;
  std::optional<std::uint64_t> vram_used_bytes;
  // The display kernel's own adapter-type bits, where it reports them
  // (Windows): taken as they are instead of being told from the driver.
  std::optional<std::uint32_t> kernel_adapter_type;
};

struct MemInfo {
  std::uint64_t total_bytes = 0;
  std::uint64_t available_bytes = 0;
};

// "0x1002\n" -> 0x1002; none for anything else.
std::optional<std::uint32_t> ParseSysfsHex(std::string_view text);
// "17163091968\n" -> 17163091968; none for anything else.
std::optional<std::uint64_t> ParseSysfsUnsigned(std::string_view text);
// The DRIVER= line of a uevent file; empty when there is none.
std::string ParseUeventDriver(std::string_view text);
// The N of "cardN"; none for connectors ("card0-DP-1"), render nodes and the rest.
std::optional<unsigned> ParseDrmCardName(std::string_view name);
// MemTotal and MemAvailable (kB in the text). None when MemTotal is missing
// or unreadable; MemAvailable falls back to MemFree.
std::optional<MemInfo> ParseMemInfo(std::string_view text);

// Every card under `drm_root`, by card number. A missing root is a machine
// without cards (an empty list); other I/O errors are errors.
Result<std::vector<DrmAdapter>> EnumerateDrmAdapters(
    const std::filesystem::path& drm_root = "/sys/class/drm");

Result<MemInfo> ReadMemInfo(const std::filesystem::path& path = "/proc/meminfo");

// The same read from a tree of files shaped like sysfs (and a meminfo text):
// the live ones on Linux, captured ones on any system.
Result<std::vector<DrmAdapter>> ReadDrmTree(const std::filesystem::path& drm_root);
Result<MemInfo> ReadMemInfoFile(const std::filesystem::path& path);

}  // namespace platform::gpu
