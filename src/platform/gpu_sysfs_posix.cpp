#include "platform/gpu_sysfs.h"

namespace platform::gpu {

// The kernel publishes both as files.
Result<std::vector<DrmAdapter>> EnumerateDrmAdapters(const std::filesystem::path& drm_root) {
  return ReadDrmTree(drm_root);
}

Result<MemInfo> ReadMemInfo(const std::filesystem::path& path) { return ReadMemInfoFile(path); }

}  // namespace platform::gpu
