#include "base/hardware_detect_system.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <thread>

#include "base/multi_inst.h"

namespace base::hardware_detect {

namespace machine = platform::machine;

namespace {

bool HasFlag(const machine::CpuInfo& info, std::string_view flag) {
  return std::find(info.flags.begin(), info.flags.end(), flag) != info.flags.end();
}

machine::CpuInfo ReadCpuInfo(const machine::Reader& reader) {
  auto text = reader.CpuInfoText();
  return text ? machine::ParseCpuInfo(*text) : machine::CpuInfo{};
}

// The processor does not change under a running process: parsed once.
const machine::CpuInfo& ThisCpu() {
  static const machine::CpuInfo info = ReadCpuInfo(machine::Reader());
  return info;
}

}  // namespace

namespace from {

unsigned LogicalCpuCount(const machine::Reader& reader) {
  if (auto online = reader.OnlineCpusText()) {
    if (auto n = machine::ParseCpuListCount(*online); n && *n > 0) return *n;
  }
  if (auto text = reader.CpuInfoText()) {
    const unsigned n = machine::ParseCpuInfo(*text).processor_count;
    if (n > 0) return n;
  }
  return 1;  // whatever runs this has at least one
}

CpuType CpuTypeOf(const machine::CpuInfo& info) {
  if (info.vendor_id == "GenuineIntel") return CpuType::kIntel;
  if (info.vendor_id == "AuthenticAMD") return CpuType::kAmd;
  if (info.has_implementer) return info.implementer == 0x51 ? CpuType::kQualcomm : CpuType::kOther;
  if (!info.vendor_id.empty()) return CpuType::kOther;
  return CpuType::kUnknown;
}

void CpuInfo(const machine::Reader& reader, CpuType& type, std::string& model) {
  const machine::CpuInfo info = ReadCpuInfo(reader);
  type = CpuTypeOf(info);
  model = info.model_name;
}

std::uint32_t InstructionSet(const machine::CpuInfo& info) {
  static constexpr std::pair<std::string_view, std::uint32_t> kFlags[] = {
      {"sse", kSse},       {"sse2", kSse2},       {"pni", kSse3},   {"ssse3", kSsse3},
      {"sse4_1", kSse41},  {"sse4_2", kSse42},    {"avx", kAvx},    {"avx2", kAvx2},
      {"avx512f", kAvx512F}, {"aes", kAes},       {"fma", kFma},    {"f16c", kF16c},
      {"neon", kNeon},     {"asimd", kNeon},      {"vmx", kVmx},    {"svm", kSvm},
  };
  std::uint32_t bits = 0;
  for (const auto& [flag, bit] : kFlags) {
    if (HasFlag(info, flag)) bits |= bit;
  }
  return bits;
}

VTState VirtualizationState(const machine::Reader& reader) {
  // The device exists only when the extensions are on and the kernel drives them.
  if (reader.KvmDevicePresent()) return VTState::kEnabled;
  if (!reader.CpuInfoText()) return VTState::kUnknown;
  return VTState::kDisabled;
}

HyperVState HyperVStateOf(const machine::Reader& reader) {
  auto text = reader.CpuInfoText();
  if (!text) return HyperVState::kUnknown;
  const machine::CpuInfo info = machine::ParseCpuInfo(*text);
  if (!HasFlag(info, "hypervisor")) return HyperVState::kOff;
  auto vendor = reader.DmiText("sys_vendor");
  if (vendor && machine::ParseDmiField(*vendor) == "Microsoft Corporation") return HyperVState::kOn;
  return HyperVState::kOff;
}

std::string OsVersion(const machine::Reader& reader, std::string_view kernel_release) {
  std::string name;
  if (auto text = reader.OsReleaseText()) {
    const machine::OsRelease os = machine::ParseOsRelease(*text);
    if (!os.pretty_name.empty()) {
      name = os.pretty_name;
    } else if (!os.name.empty()) {
      name = os.version_id.empty() ? os.name : os.name + " " + os.version_id;
    }
  }
  if (name.empty()) name = "Linux";
  if (!kernel_release.empty()) name += " " + std::string(kernel_release);
  return name;
}

std::string ArchitectureName(std::string_view m) {
  if (m == "x86_64" || m == "amd64") return "x64";
  if (m == "i386" || m == "i486" || m == "i586" || m == "i686") return "x86";
  if (m == "aarch64" || m == "arm64" || m == "aarch64_be") return "arm64";
  if (m.starts_with("arm")) return "arm";
  return std::string(m);
}

std::string Manufacturer(const machine::Reader& reader) {
  for (std::string_view field : {"sys_vendor", "board_vendor", "chassis_vendor"}) {
    if (auto text = reader.DmiText(field)) {
      std::string value = machine::ParseDmiField(*text);
      if (!value.empty()) return value;
    }
  }
  // Boards without DMI (most ARM ones) name their maker in the device tree.
  if (auto compatible = reader.DeviceTreeCompatible()) {
    return machine::ParseDeviceTreeVendor(*compatible);
  }
  return {};
}

MEMORYSTATUSEX GlobalMemoryInfo(const machine::Reader& reader) {
  // Windows' own record has no initialisers: every field is set here.
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  auto text = reader.MemInfoText();
  if (!text) {
    status.dwLength = 0;
    return status;
  }
  const machine::MemInfo mem = machine::ParseMemInfo(*text);
  if (!mem.total_kib) {
    status.dwLength = 0;
    return status;
  }
  const std::uint64_t total = *mem.total_kib;
  // Kernels before 3.14 have no MemAvailable; free memory is the nearest.
  const std::uint64_t avail = std::min(total, mem.available_kib.value_or(mem.free_kib.value_or(0)));
  status.ullTotalPhys = total * 1024;
  status.ullAvailPhys = avail * 1024;
  status.dwMemoryLoad = total == 0 ? 0 : static_cast<std::uint32_t>(100 - avail * 100 / total);
  const std::uint64_t swap_total = mem.swap_total_kib.value_or(0);
  const std::uint64_t swap_free = std::min(swap_total, mem.swap_free_kib.value_or(0));
  status.ullTotalPageFile = (total + swap_total) * 1024;
  status.ullAvailPageFile = (avail + swap_free) * 1024;
  // The address space of a 64-bit process: 128 TiB of user space.
  status.ullTotalVirtual = sizeof(void*) == 8 ? (std::uint64_t{1} << 47) : (std::uint64_t{1} << 31);
  status.ullAvailVirtual = status.ullTotalVirtual;
  return status;
}

int DiscType(const machine::Reader::BlockDevice& device) {
  const auto rotational = machine::ParseRotational(device.rotational);
  if (!rotational) return kDiscUnspecified;
  return *rotational ? kDiscHdd : kDiscSsd;
}

int BusType(const machine::Reader::BlockDevice& device) {
  return static_cast<int>(machine::ClassifyBlockBus(device.sysfs_path));
}

}  // namespace from

unsigned GetLogicalCpuCount() {
  const unsigned n = from::LogicalCpuCount(machine::Reader());
  return n;
}

void CpuInfo(CpuType& type, std::string& model) {
  type = from::CpuTypeOf(ThisCpu());
  model = ThisCpu().model_name;
}

std::uint32_t GetCPUSupportSpecialInstructionSet() { return from::InstructionSet(ThisCpu()); }

VTState GetVirtualizationState() { return from::VirtualizationState(machine::Reader()); }

HyperVState GetHyperVState() { return from::HyperVStateOf(machine::Reader()); }

std::string OsVersion() {
  static const std::string version = from::OsVersion(machine::Reader(), machine::Uname().release);
  return version;
}

std::string GetArchitectureStr(bool machine_arch) {
  if (machine_arch) {
    static const std::string name = from::ArchitectureName(machine::Uname().machine);
    return name;
  }
#if defined(__x86_64__) || defined(_M_X64)
  return "x64";
#elif defined(__i386__) || defined(_M_IX86)
  return "x86";
#elif defined(__aarch64__) || defined(_M_ARM64)
  return "arm64";
#elif defined(__arm__) || defined(_M_ARM)
  return "arm";
#else
  return from::ArchitectureName(machine::Uname().machine);
#endif
}

std::string GetWindowsManufacturer() {
  static const std::string maker = from::Manufacturer(machine::Reader());
  return maker;
}

namespace {

// The image lives in the product's data; the nearest existing directory on the
// way there is on the same disk.
platform::Result<machine::Reader::BlockDevice> ImageDisk() {
  std::filesystem::path path = MultiInst::Instance()->Home();
  std::error_code ec;
  while (!path.empty() && !std::filesystem::exists(path, ec) && path != path.root_path()) {
    path = path.parent_path();
  }
  if (path.empty()) path = "/";
  return machine::Reader().DiskHolding(path);
}

std::mutex g_disc_mutex;
std::optional<int> g_disc_type;

}  // namespace

int GetVDIImageDiscType(bool refresh) {
  std::lock_guard lock(g_disc_mutex);
  if (!g_disc_type || refresh) {
    auto disk = ImageDisk();
    g_disc_type = disk ? from::DiscType(*disk) : kDiscUnspecified;
  }
  return *g_disc_type;
}

int GetVDIImageDiskBusType() {
  auto disk = ImageDisk();
  return disk ? from::BusType(*disk) : 0;
}

MEMORYSTATUSEX GetGlobalMemoryInfo() { return from::GlobalMemoryInfo(machine::Reader()); }

bool GetPhysicallyInstalledSystemMemory(std::uint64_t* kib) {
  auto installed = machine::Reader().InstalledMemoryKib();
  if (!installed || *installed == 0) return false;
  *kib = *installed;
  return true;
}

}  // namespace base::hardware_detect
