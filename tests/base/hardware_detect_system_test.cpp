// Hardware and system facts: table-driven over captured machines, and the
// live queries checked against independent readings of this machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

#include "base/hardware_detect_system.h"
#include "support/test_env.h"

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

TEST(HardwareDetectLive, CpuCountMatchesTheKernel) {
  EXPECT_EQ(hd::GetLogicalCpuCount(), static_cast<unsigned>(get_nprocs()));
}

TEST(HardwareDetectLive, MemoryMatchesSysinfo) {
  struct sysinfo si {};
  ASSERT_EQ(sysinfo(&si), 0);
  const std::uint64_t total = std::uint64_t{si.totalram} * si.mem_unit;
  const MEMORYSTATUSEX mem = hd::GetGlobalMemoryInfo();
  ASSERT_NE(mem.dwLength, 0u);
  // /proc/meminfo and sysinfo count the same pages, in KiB.
  EXPECT_NEAR(static_cast<double>(mem.ullTotalPhys), static_cast<double>(total), 1024.0 * 4);
  EXPECT_GT(mem.ullAvailPhys, 0u);
  EXPECT_LE(mem.ullAvailPhys, mem.ullTotalPhys);
  std::uint64_t installed = 0;
  if (hd::GetPhysicallyInstalledSystemMemory(&installed)) {
    // Installed memory is at least what the kernel manages.
    EXPECT_GE(installed * 1024, total);
  }
}

TEST(HardwareDetectLive, OsVersionAndArchitecture) {
  struct utsname u {};
  ASSERT_EQ(uname(&u), 0);
  const std::string version = hd::OsVersion();
  EXPECT_TRUE(version.ends_with(std::string(" ") + u.release)) << version;
  std::ifstream os("/etc/os-release");
  std::string line;
  while (std::getline(os, line)) {
    if (line.rfind("PRETTY_NAME=\"", 0) == 0) {
      const std::string pretty = line.substr(13, line.size() - 14);
      EXPECT_TRUE(version.starts_with(pretty)) << version;
    }
  }
  EXPECT_EQ(hd::GetArchitectureStr(true), hd::from::ArchitectureName(u.machine));
#if defined(__x86_64__)
  EXPECT_EQ(hd::GetArchitectureStr(false), "x64");
#endif
}

TEST(HardwareDetectLive, CpuVendorAgreesWithCpuinfo) {
  hd::CpuType type{};
  std::string model;
  hd::CpuInfo(type, model);
  const std::string cpuinfo = testenv::ReadFile("/proc/cpuinfo");
  if (cpuinfo.find("GenuineIntel") != std::string::npos) EXPECT_EQ(type, hd::CpuType::kIntel);
  if (cpuinfo.find("AuthenticAMD") != std::string::npos) EXPECT_EQ(type, hd::CpuType::kAmd);
  if (!model.empty()) EXPECT_NE(cpuinfo.find(model), std::string::npos);
  EXPECT_EQ(hd::GetVirtualizationState() == hd::VTState::kEnabled, access("/dev/kvm", F_OK) == 0);
}

class ImageDiskTest : public testenv::ProductTest {};

// The disk of the product home, read independently: its device numbers, the
// sysfs entry they name, and that disk's (or its parent disk's) rotational flag.
TEST_F(ImageDiskTest, DiscTypeOfTheDiskHoldingTheProductHome) {
  struct stat st {};
  ASSERT_EQ(stat(home().c_str(), &st), 0);
  const std::filesystem::path entry =
      "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  int want = hd::kDiscUnspecified;
  std::error_code ec;
  std::filesystem::path device = std::filesystem::canonical(entry, ec);
  if (!ec) {
    if (!std::filesystem::exists(device / "queue")) device = device.parent_path();
    const std::string flag = testenv::ReadFile(device / "queue/rotational");
    if (flag == "1\n") want = hd::kDiscHdd;
    if (flag == "0\n") want = hd::kDiscSsd;
  }
  EXPECT_EQ(hd::GetVDIImageDiscType(true), want);
  // Whatever the disk, the bus is one of the storage bus numbers.
  EXPECT_GE(hd::GetVDIImageDiskBusType(), 0);
  EXPECT_LE(hd::GetVDIImageDiskBusType(), 17);
}

}  // namespace
