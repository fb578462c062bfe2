// Hardware and system facts: table-driven over captured machines, and the
// live queries checked against independent readings of this machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "base/hardware_detect_system.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#else
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

namespace hd = base::hardware_detect;
namespace machine = platform::machine;

namespace {

machine::Reader Captured(const std::string& name) {
  return machine::Reader(testenv::SourceDir() / "tests/platform/fixtures/machine" / name);
}

TEST(HardwareDetectCaptured, EveryQueryPerMachine) {
  struct Case {
    const char* machine;
    unsigned logical;
    hd::CpuType type;
    const char* maker;
    hd::VTState vt;
    hd::HyperVState hyperv;
    const char* os;
    std::uint64_t total_mib;
    std::uint64_t avail_mib;
  };
  const Case cases[] = {
      {"intel_laptop", 8, hd::CpuType::kIntel, "LENOVO", hd::VTState::kEnabled,
       hd::HyperVState::kOff, "Ubuntu 22.04.4 LTS 6.5.0", 15728, 9645},
      // Firmware placeholder in sys_vendor: the board's maker is taken instead.
      {"amd_desktop", 16, hd::CpuType::kAmd, "ASUSTeK COMPUTER INC.", hd::VTState::kDisabled,
       hd::HyperVState::kOff, "Fedora Linux 39 6.5.0", 32000, 19531},
      {"hyperv_vm", 2, hd::CpuType::kIntel, "Microsoft Corporation", hd::VTState::kDisabled,
       hd::HyperVState::kOn, "Rocky Linux 9.3 (Blue Onyx) 6.5.0", 7939, 5000},
      {"qemu_vm", 2, hd::CpuType::kAmd, "QEMU", hd::VTState::kDisabled, hd::HyperVState::kOff,
       "Debian GNU/Linux 12 (bookworm) 6.5.0", 3933, 2929},
      {"arm_board", 4, hd::CpuType::kOther, "raspberrypi", hd::VTState::kEnabled,
       hd::HyperVState::kOff, "Debian GNU/Linux 12 (bookworm) 6.5.0", 7811, 7031},
      {"qualcomm_laptop", 1, hd::CpuType::kQualcomm, "LENOVO", hd::VTState::kDisabled,
       hd::HyperVState::kOff, "Linux 6.5.0", 0, 0},
      // Online cpus "0,2" beat the three processors the file lists.
      {"container", 2, hd::CpuType::kIntel, "", hd::VTState::kDisabled, hd::HyperVState::kOff,
       "Linux 6.5.0", 61440, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    const machine::Reader reader = Captured(c.machine);
    EXPECT_EQ(hd::from::LogicalCpuCount(reader), c.logical);
    hd::CpuType type{};
    std::string model = "stale";
    hd::from::CpuInfo(reader, type, model);
    EXPECT_EQ(type, c.type);
    EXPECT_NE(model, "stale");
    EXPECT_EQ(hd::from::Manufacturer(reader), c.maker);
    EXPECT_EQ(hd::from::VirtualizationState(reader), c.vt);
    EXPECT_EQ(hd::from::HyperVStateOf(reader), c.hyperv);
    EXPECT_EQ(hd::from::OsVersion(reader, "6.5.0"), c.os);
    const MEMORYSTATUSEX mem = hd::from::GlobalMemoryInfo(reader);
    if (c.total_mib == 0) {
      EXPECT_EQ(mem.dwLength, 0u);
    } else {
      EXPECT_EQ(mem.ullTotalPhys >> 20, c.total_mib);
      EXPECT_EQ(mem.ullAvailPhys >> 20, c.avail_mib);
      EXPECT_LE(mem.dwMemoryLoad, 100u);
    }
  }
}

TEST(HardwareDetectCaptured, InstructionSets) {
  const auto bits = [](const char* name) {
    return hd::from::InstructionSet(machine::ParseCpuInfo(
        testenv::ReadFile(testenv::SourceDir() / "tests/platform/fixtures/machine" / name /
                          "proc/cpuinfo")));
  };
  const std::uint32_t intel = bits("intel_laptop");
  EXPECT_EQ(intel & (hd::kSse42 | hd::kAvx2 | hd::kAvx512F | hd::kVmx | hd::kSse3),
            hd::kSse42 | hd::kAvx2 | hd::kAvx512F | hd::kVmx | hd::kSse3);
  EXPECT_EQ(intel & (hd::kSvm | hd::kNeon), 0u);
  const std::uint32_t amd = bits("amd_desktop");
  EXPECT_NE(amd & hd::kSvm, 0u);
  EXPECT_EQ(amd & hd::kAvx512F, 0u);
  EXPECT_EQ(bits("arm_board"), hd::kNeon);
  EXPECT_EQ(bits("container"), hd::kSse | hd::kSse2);
}

TEST(HardwareDetectCaptured, DiscAndBusOfABlockDevice) {
  machine::Reader::BlockDevice nvme{"/sys/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1",
                                    "0\n"};
  EXPECT_EQ(hd::from::DiscType(nvme), hd::kDiscSsd);
  EXPECT_EQ(hd::from::BusType(nvme), 17);
  machine::Reader::BlockDevice sata{"/sys/devices/pci0000:00/ata1/host0/target0:0:0/block/sda", "1"};
  EXPECT_EQ(hd::from::DiscType(sata), hd::kDiscHdd);
  EXPECT_EQ(hd::from::BusType(sata), 11);
  EXPECT_EQ(hd::from::DiscType({"", ""}), hd::kDiscUnspecified);
}

// --- this machine ----------------------------------------------------------------
// What each system says of itself, read past the code under test.

#ifdef _WIN32
std::uint64_t TotalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

// The product's name and the kernel's version as the shared user data page
// gives it to every process: "<product> <major>.<minor>.<build>".
std::string OsVersionPrefix() {
  wchar_t product[256] = {};
  DWORD size = sizeof(product);
  ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                 L"ProductName", RRF_RT_REG_SZ, nullptr, product, &size);
  const auto* shared = reinterpret_cast<const volatile ULONG*>(0x7FFE0000);
  std::string name;
  for (const wchar_t* c = product; *c != L'\0'; ++c) {
    if (*c != L'"') name += static_cast<char>(*c);
  }
  return name + " " + std::to_string(shared[0x26C / sizeof(ULONG)]) + "." +
         std::to_string(shared[0x270 / sizeof(ULONG)]) + ".";
}
std::string OsVersionSuffix() { return {}; }

std::string MachineArchitecture() {
  const char* arch = std::getenv("PROCESSOR_ARCHITECTURE");  // of the machine, for a 64-bit program
  const std::string name = arch != nullptr ? arch : "";
  if (name == "AMD64") return "x64";
  if (name == "ARM64") return "arm64";
  if (name == "x86") return "x86";
  return name;
}

// The processor's own vendor and brand strings.
std::string CpuText() {
  std::string text;
#if defined(__x86_64__) || defined(__i386__)
  unsigned regs[4] = {};
  if (__get_cpuid(0, &regs[0], &regs[1], &regs[2], &regs[3])) {
    text.append(reinterpret_cast<const char*>(&regs[1]), 4);
    text.append(reinterpret_cast<const char*>(&regs[3]), 4);
    text.append(reinterpret_cast<const char*>(&regs[2]), 4);
  }
  text += ' ';
  for (unsigned leaf = 0x80000002; leaf <= 0x80000004; ++leaf) {
    if (__get_cpuid(leaf, &regs[0], &regs[1], &regs[2], &regs[3])) {
      text.append(reinterpret_cast<const char*>(regs), sizeof regs);
    }
  }
#endif
  return text;
}

// The firmware can switch on only extensions the processor has.
bool VirtualizationAgrees(hd::VTState state) {
  if (state != hd::VTState::kEnabled) return true;
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  const bool vmx = __get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 5)) != 0;
  const bool svm = __get_cpuid(0x80000001, &a, &b, &c, &d) && (c & (1u << 2)) != 0;
  return vmx || svm;
#else
  return true;
#endif
}

// The volume's own answer on seek penalty. Wine has none: unspecified.
int DiscTypeOfDiskHolding(const std::filesystem::path& path) {
  wchar_t volume[MAX_PATH + 1] = {};
  if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH)) return hd::kDiscUnspecified;
  std::wstring device = volume;
  while (!device.empty() && device.back() == L'\\') device.pop_back();
  HANDLE disk = ::CreateFileW((L"\\\\.\\" + device).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (disk == INVALID_HANDLE_VALUE) return hd::kDiscUnspecified;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
  DWORD returned = 0;
  const bool answered = ::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                          &penalty, sizeof penalty, &returned, nullptr) &&
                        returned >= sizeof penalty;
  ::CloseHandle(disk);
  if (!answered) return hd::kDiscUnspecified;
  return penalty.IncursSeekPenalty ? hd::kDiscHdd : hd::kDiscSsd;
}
#else
std::uint64_t TotalMemoryBytes() {
  struct sysinfo si {};
  return sysinfo(&si) == 0 ? std::uint64_t{si.totalram} * si.mem_unit : 0;
}

std::string OsVersionPrefix() {
  std::ifstream os("/etc/os-release");
  std::string line;
  while (std::getline(os, line)) {
    if (line.rfind("PRETTY_NAME=\"", 0) == 0) return line.substr(13, line.size() - 14);
  }
  return {};
}

std::string OsVersionSuffix() {
  struct utsname u {};
  return uname(&u) == 0 ? std::string(" ") + u.release : std::string();
}

std::string MachineArchitecture() {
  struct utsname u {};
  return uname(&u) == 0 ? hd::from::ArchitectureName(u.machine) : std::string();
}

std::string CpuText() { return testenv::ReadFile("/proc/cpuinfo"); }

// The device exists only when the extensions are on and the kernel drives them.
bool VirtualizationAgrees(hd::VTState state) {
  return (state == hd::VTState::kEnabled) == (access("/dev/kvm", F_OK) == 0);
}

// Its device numbers, the sysfs entry they name, and that disk's (or its
// parent disk's) rotational flag.
int DiscTypeOfDiskHolding(const std::filesystem::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return hd::kDiscUnspecified;
  const std::filesystem::path entry =
      "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  std::error_code ec;
  std::filesystem::path device = std::filesystem::canonical(entry, ec);
  if (ec) return hd::kDiscUnspecified;
  if (!std::filesystem::exists(device / "queue")) device = device.parent_path();
  const std::string flag = testenv::ReadFile(device / "queue/rotational");
  if (flag == "1\n") return hd::kDiscHdd;
  if (flag == "0\n") return hd::kDiscSsd;
  return hd::kDiscUnspecified;
}
#endif

TEST(HardwareDetectLive, CpuCountMatchesTheKernel) {
  EXPECT_EQ(hd::GetLogicalCpuCount(), std::thread::hardware_concurrency());
}

TEST(HardwareDetectLive, MemoryMatchesSysinfo) {
  const std::uint64_t total = TotalMemoryBytes();
  ASSERT_NE(total, 0u);
  const MEMORYSTATUSEX mem = hd::GetGlobalMemoryInfo();
  ASSERT_NE(mem.dwLength, 0u);
  // Counted in KiB on the way, from the same pages.
  EXPECT_NEAR(static_cast<double>(mem.ullTotalPhys), static_cast<double>(total), 1024.0 * 4);
  EXPECT_GT(mem.ullAvailPhys, 0u);
  EXPECT_LE(mem.ullAvailPhys, mem.ullTotalPhys);
  std::uint64_t installed = 0;
  if (hd::GetPhysicallyInstalledSystemMemory(&installed)) {
    // Installed memory is at least what the system manages.
    EXPECT_GE(installed * 1024, total);
  }
}

TEST(HardwareDetectLive, OsVersionAndArchitecture) {
  const std::string version = hd::OsVersion();
  EXPECT_TRUE(version.starts_with(OsVersionPrefix())) << version;
  EXPECT_TRUE(version.ends_with(OsVersionSuffix())) << version;
  EXPECT_EQ(hd::GetArchitectureStr(true), MachineArchitecture());
#if defined(__x86_64__)
  EXPECT_EQ(hd::GetArchitectureStr(false), "x64");
#endif
}

TEST(HardwareDetectLive, CpuVendorAgreesWithCpuinfo) {
  hd::CpuType type{};
  std::string model;
  hd::CpuInfo(type, model);
  const std::string cpu = CpuText();
  if (cpu.find("GenuineIntel") != std::string::npos) {
    EXPECT_EQ(type, hd::CpuType::kIntel);
  }
  if (cpu.find("AuthenticAMD") != std::string::npos) {
    EXPECT_EQ(type, hd::CpuType::kAmd);
  }
  if (!model.empty()) {
    EXPECT_NE(cpu.find(model), std::string::npos) << model;
  }
  EXPECT_TRUE(VirtualizationAgrees(hd::GetVirtualizationState()));
}

class ImageDiskTest : public testenv::ProductTest {};

TEST_F(ImageDiskTest, DiscTypeOfTheDiskHoldingTheProductHome) {
  EXPECT_EQ(hd::GetVDIImageDiscType(true), DiscTypeOfDiskHolding(home()));
  // Whatever the disk, the bus is one of the storage bus numbers.
  EXPECT_GE(hd::GetVDIImageDiskBusType(), 0);
  EXPECT_LE(hd::GetVDIImageDiskBusType(), 17);
}

}  // namespace
