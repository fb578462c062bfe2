// Graphics adapters and memory of the machine, as the base library answers
// them: each adapter with the adapter-type bits the display kernel reports
// and its dedicated video memory, the free video memory of the adapter that
// renders, and the physical memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/gpu_sysfs.h"

namespace base::hardware_detect {

// Adapter-type bits (the display kernel's adapter-type query).
inline constexpr std::uint32_t kAdapterRenderSupported = 1u << 0;
inline constexpr std::uint32_t kAdapterDisplaySupported = 1u << 1;
inline constexpr std::uint32_t kAdapterSoftwareDevice = 1u << 2;
inline constexpr std::uint32_t kAdapterHybridIntegrated = 1u << 5;

struct AdapterInfo {
  std::string name;                        // "card0 (amdgpu)"
  std::uint32_t vendor_id = 0;
  std::uint32_t device_id = 0;
  std::uint32_t adapter_type = 0;          // the bits above
  std::uint64_t dedicated_video_memory = 0;  // bytes
  std::optional<std::uint64_t> free_video_memory;  // bytes, when the driver tells
  bool primary = false;                    // the firmware's display adapter
};

struct AdapterFreeMemorySnapshot {
  std::uint64_t free_mb = 0;
  std::string gpu_kind;  // "discrete", "integrated", "software" or "none"
};

struct GlobalMemoryInfo {
  std::uint64_t total_phys = 0;  // bytes; 0 when unknown
  std::uint64_t avail_phys = 0;
};

// Pure: the adapter a DRM card stands for.
AdapterInfo AdapterFromDrm(const platform::gpu::DrmAdapter& card);
// Pure: the adapter that renders (the primary render adapter, else the first
// render adapter that is not software, else the first render adapter), and
// its free memory reading. {0, "none"} without one.
AdapterFreeMemorySnapshot RenderAdapterFreeMemory(const std::vector<AdapterInfo>& adapters);
std::string AdapterKind(const AdapterInfo& adapter);

// The machine's adapters; none when they cannot be enumerated.
std::optional<std::vector<AdapterInfo>> EnumerateAdapters();
// `adapter_index` is reserved (0: the render adapter).
AdapterFreeMemorySnapshot GetCurrentRenderAdapterFreeMemory(int adapter_index);
GlobalMemoryInfo GetGlobalMemorySummary();

}  // namespace base::hardware_detect
