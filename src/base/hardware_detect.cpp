#include "base/hardware_detect.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace base::hardware_detect {
namespace {

// Drivers that stand in for a graphics device without one behind them.
constexpr std::array<std::string_view, 6> kSoftwareDrivers = {"vkms", "vgem", "simpledrm",
                                                               "efidrm", "vesadrm", "ofdrm"};
// Drivers of graphics built into the processor, sharing system memory.
constexpr std::array<std::string_view, 2> kIntegratedDrivers = {"i915", "xe"};

template <std::size_t N>
bool OneOf(const std::array<std::string_view, N>& names, const std::string& driver) {
  return std::find(names.begin(), names.end(), driver) != names.end();
}

bool IsRender(const AdapterInfo& a) {
  return (a.adapter_type & kAdapterRenderSupported) != 0 &&
         (a.adapter_type & kAdapterSoftwareDevice) == 0;
}

}  // namespace

AdapterInfo AdapterFromDrm(const platform::gpu::DrmAdapter& card) {
  AdapterInfo a;
  a.name = card.driver.empty() ? card.card : card.card + " (" + card.driver + ")";
  a.vendor_id = card.vendor_id;
  a.device_id = card.device_id;
  a.primary = card.boot_vga;
  if (card.kernel_adapter_type) {
    a.adapter_type = *card.kernel_adapter_type;
    a.dedicated_video_memory = card.vram_total_bytes.value_or(0);
    return a;
  }
  a.adapter_type = kAdapterDisplaySupported;
  if (card.has_render_node) a.adapter_type |= kAdapterRenderSupported;
  if (OneOf(kSoftwareDrivers, card.driver)) a.adapter_type |= kAdapterSoftwareDevice;
  if (OneOf(kIntegratedDrivers, card.driver) || !card.vram_total_bytes) {
    // Memory shared with the processor: no dedicated video memory to speak of.
    if ((a.adapter_type & kAdapterSoftwareDevice) == 0) a.adapter_type |= kAdapterHybridIntegrated;
  } else {
    a.dedicated_video_memory = *card.vram_total_bytes;
    if (card.vram_used_bytes) {
      a.free_video_memory = *card.vram_total_bytes > *card.vram_used_bytes
                                ? *card.vram_total_bytes - *card.vram_used_bytes
                                : 0;
    }
  }
  return a;
}

std::string AdapterKind(const AdapterInfo& a) {
  if ((a.adapter_type & kAdapterSoftwareDevice) != 0) return "software";
  if ((a.adapter_type & kAdapterHybridIntegrated) != 0) return "integrated";
  return "discrete";
}

AdapterFreeMemorySnapshot RenderAdapterFreeMemory(const std::vector<AdapterInfo>& adapters) {
  const AdapterInfo* chosen = nullptr;
  for (const auto& a : adapters) {
    if (IsRender(a) && a.primary) {
      chosen = &a;
      break;
    }
  }
  if (!chosen) {
    for (const auto& a : adapters) {
      if (IsRender(a)) {
        chosen = &a;
        break;
      }
    }
  }
  if (!chosen) {
    for (const auto& a : adapters) {
      if ((a.adapter_type & kAdapterRenderSupported) != 0) {
        chosen = &a;
        break;
      }
    }
  }
  if (!chosen) return {0, "none"};
  AdapterFreeMemorySnapshot snap;
  snap.gpu_kind = AdapterKind(*chosen);
  snap.free_mb = chosen->free_video_memory.value_or(0) / (1024u * 1024u);
  return snap;
}

std::optional<std::vector<AdapterInfo>> EnumerateAdapters() {
  auto cards = platform::gpu::EnumerateDrmAdapters();
  if (!cards) return std::nullopt;
  std::vector<AdapterInfo> out;
  out.reserve(cards->size());
  for (const auto& card : *cards) out.push_back(AdapterFromDrm(card));
  return out;
}

AdapterFreeMemorySnapshot GetCurrentRenderAdapterFreeMemory(int /*adapter_index*/) {
  const auto adapters = EnumerateAdapters();
  if (!adapters) return {0, "none"};
  return RenderAdapterFreeMemory(*adapters);
}

GlobalMemoryInfo GetGlobalMemorySummary() {
  const auto info = platform::gpu::ReadMemInfo();
  if (!info) return {};
  return {info->total_bytes, info->available_bytes};
}

}  // namespace base::hardware_detect
