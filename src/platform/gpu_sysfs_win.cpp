// Graphics adapters on Windows: the display kernel's adapter queries
// (D3DKMTEnumAdapters2 / D3DKMTQueryAdapterInfo of gdi32), looked up at run
// time, each adapter given as the card record the detector reads. A tree
// other than the default is a captured DRM tree and is read as files, so
// fixtures mean the same on every system.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <system_error>

#include "platform/error.h"
#include "platform/gpu_sysfs.h"
#include "platform/system_text.h"
#include "platform/text.h"

namespace platform::gpu {
namespace {

// The kernel-mode display interface's records (d3dkmthk.h), as far as they
// are read here.
using D3dkmtHandle = UINT;
using Ntstatus = LONG;

struct AdapterInfoRecord {
  D3dkmtHandle adapter;
  LUID luid;
  ULONG sources;
  BOOL precise_present_regions_preferred;
};
struct EnumAdapters2 {
  ULONG count;
  AdapterInfoRecord* adapters;
};
// The older form: a fixed array of up to 16 adapters.
struct EnumAdapters {
  ULONG count;
  AdapterInfoRecord adapters[16];
};
struct QueryAdapterInfo {
  D3dkmtHandle adapter;
  int type;
  void* data;
  UINT size;
};
struct CloseAdapter {
  D3dkmtHandle adapter;
};
struct SegmentSizeInfo {
  ULONGLONG dedicated_video;
  ULONGLONG dedicated_system;
  ULONGLONG shared_system;
};
struct RegistryInfo {
  WCHAR adapter_string[MAX_PATH];
  WCHAR bios_string[MAX_PATH];
  WCHAR dac_type[MAX_PATH];
  WCHAR chip_type[MAX_PATH];
};
struct DeviceIds {
  UINT physical_adapter_index;
  UINT vendor, device, sub_vendor, sub_system, revision, bus_type;
};
struct DriverDescription {
  WCHAR text[4096];
};

// Query types (KMTQUERYADAPTERINFOTYPE).
constexpr int kQueryAdapterRegistryInfo = 8;
constexpr int kQuerySegmentSize = 3;
constexpr int kQueryAdapterType = 15;
constexpr int kQueryPhysicalAdapterCount = 30;
constexpr int kQueryPhysicalAdapterDeviceIds = 31;
constexpr int kQueryDriverDescription = 65;

// Adapter-type bits as the kernel reports them.
constexpr UINT kRenderSupported = 1u << 0;
constexpr UINT kDisplaySupported = 1u << 1;

using EnumAdapters2Fn = Ntstatus(APIENTRY*)(EnumAdapters2*);
using EnumAdaptersFn = Ntstatus(APIENTRY*)(EnumAdapters*);
using QueryAdapterInfoFn = Ntstatus(APIENTRY*)(const QueryAdapterInfo*);
using CloseAdapterFn = Ntstatus(APIENTRY*)(const CloseAdapter*);

template <typename T>
bool Query(QueryAdapterInfoFn query, D3dkmtHandle adapter, int type, T* out) {
  QueryAdapterInfo info {adapter, type, out, sizeof(T)};
  return query(&info) >= 0;
}

std::string Text(const WCHAR* text, std::size_t capacity) {
  return text::ToUtf8(std::wstring_view(text, wcsnlen(text, capacity)));
}

Result<std::vector<DrmAdapter>> EnumerateKernelAdapters() {
  HMODULE gdi = ::LoadLibraryExW(L"gdi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (gdi == nullptr) return Fail(kErrorNotSupported);
  auto symbol = [gdi](const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(gdi, name));
  };
  auto enumerate2 = reinterpret_cast<EnumAdapters2Fn>(symbol("D3DKMTEnumAdapters2"));
  auto enumerate = reinterpret_cast<EnumAdaptersFn>(symbol("D3DKMTEnumAdapters"));
  auto query = reinterpret_cast<QueryAdapterInfoFn>(symbol("D3DKMTQueryAdapterInfo"));
  auto close = reinterpret_cast<CloseAdapterFn>(symbol("D3DKMTCloseAdapter"));
  if ((enumerate2 == nullptr && enumerate == nullptr) || query == nullptr || close == nullptr) {
    return Fail(kErrorNotSupported);
  }

  std::vector<AdapterInfoRecord> records;
  if (enumerate2 != nullptr) {
    // First the count, then the records; adapters may come and go between.
    EnumAdapters2 list {0, nullptr};
    if (enumerate2(&list) < 0) return Fail(kErrorGenFailure);
    records.resize(list.count);
    list.adapters = records.data();
    if (list.count > 0 && enumerate2(&list) < 0) return Fail(kErrorGenFailure);
    records.resize(std::min<std::size_t>(list.count, records.size()));
  } else {
    auto list = std::make_unique<EnumAdapters>();
    if (enumerate(list.get()) < 0) return Fail(kErrorGenFailure);
    records.assign(list->adapters, list->adapters + std::min<ULONG>(list->count, 16));
  }

  std::vector<DrmAdapter> out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const D3dkmtHandle handle = records[i].adapter;
    DrmAdapter adapter;
    adapter.card = "adapter" + std::to_string(i);
    UINT type = 0;
    if (Query(query, handle, kQueryAdapterType, &type)) {
      adapter.kernel_adapter_type = type;
      adapter.has_render_node = (type & kRenderSupported) != 0;
    }
    // The first adapter that drives displays is the one the system started on.
    adapter.boot_vga = i == 0 && (!adapter.kernel_adapter_type || (type & kDisplaySupported) != 0);
    SegmentSizeInfo segments {};
    if (Query(query, handle, kQuerySegmentSize, &segments) && segments.dedicated_video > 0) {
      adapter.vram_total_bytes = segments.dedicated_video;
    }
    UINT physical = 0;
    if (Query(query, handle, kQueryPhysicalAdapterCount, &physical) && physical > 0) {
      DeviceIds ids {};
      ids.physical_adapter_index = 0;
      if (Query(query, handle, kQueryPhysicalAdapterDeviceIds, &ids)) {
        adapter.vendor_id = ids.vendor;
        adapter.device_id = ids.device;
      }
    }
    auto description = std::make_unique<DriverDescription>();
    if (Query(query, handle, kQueryDriverDescription, description.get())) {
      adapter.driver = Text(description->text, 4096);
    }
    if (adapter.driver.empty()) {
      auto registry = std::make_unique<RegistryInfo>();
      if (Query(query, handle, kQueryAdapterRegistryInfo, registry.get())) {
        adapter.driver = Text(registry->adapter_string, MAX_PATH);
      }
    }
    CloseAdapter done {handle};
    close(&done);
    out.push_back(std::move(adapter));
  }
  return out;
}

}  // namespace

Result<std::vector<DrmAdapter>> EnumerateDrmAdapters(const std::filesystem::path& drm_root) {
  if (drm_root == std::filesystem::path("/sys/class/drm")) return EnumerateKernelAdapters();
  return ReadDrmTree(drm_root);
}

Result<MemInfo> ReadMemInfo(const std::filesystem::path& path) {
  if (path == std::filesystem::path("/proc/meminfo")) {
    MEMORYSTATUSEX status {};
    status.dwLength = sizeof(status);
    if (!::GlobalMemoryStatusEx(&status)) {
      const DWORD code = ::GetLastError();
      return Fail(code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code));
    }
    return MemInfo{status.ullTotalPhys, status.ullAvailPhys};
  }
  return ReadMemInfoFile(path);
}

}  // namespace platform::gpu
