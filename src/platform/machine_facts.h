// Facts about the machine itself: processor, firmware identity, operating
// system, memory, power supplies, storage and virtualisation. The readers take
// the raw text the OS publishes (a root directory stands for "/", so tests can
// point them at a captured tree) and the pure Parse... functions turn it into
// records; every parser accepts any bytes and fills what it can recognise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace platform::machine {

// --- processor -------------------------------------------------------------

struct CpuInfo {
  std::string vendor_id;    // "GenuineIntel", "AuthenticAMD"; empty on ARM
  std::string model_name;   // "model name" (x86) or "Model"/"Hardware" (ARM)
  std::uint32_t implementer = 0;  // ARM "CPU implementer" (0x41 Arm, 0x51 Qualcomm)
  bool has_implementer = false;
  std::vector<std::string> flags;  // x86 "flags" or ARM "Features" of the first processor
  unsigned processor_count = 0;    // "processor" entries
};
CpuInfo ParseCpuInfo(std::string_view text);

// A kernel cpu list ("0-3,6,8-9") counted; nullopt when it is not one.
std::optional<unsigned> ParseCpuListCount(std::string_view text);

// --- operating system -------------------------------------------------------

struct OsRelease {
  std::string id;
  std::string name;
  std::string version_id;
  std::string pretty_name;
};
// os-release(5): KEY=value lines, values optionally quoted.
OsRelease ParseOsRelease(std::string_view text);

struct KernelName {
  std::string sysname;
  std::string release;
  std::string machine;  // "x86_64", "aarch64", ...
};

// --- memory ------------------------------------------------------------------

struct MemInfo {
  std::optional<std::uint64_t> total_kib;
  std::optional<std::uint64_t> available_kib;
  std::optional<std::uint64_t> free_kib;
  std::optional<std::uint64_t> swap_total_kib;
  std::optional<std::uint64_t> swap_free_kib;
};
MemInfo ParseMemInfo(std::string_view text);

// A number written in hexadecimal without prefix ("8000000"), as the memory
// block size is published; nullopt otherwise.
std::optional<std::uint64_t> ParseHexNumber(std::string_view text);

// --- firmware identity ---------------------------------------------------------

// One DMI text field, trimmed; empty for the placeholders firmware vendors
// leave in unfilled fields.
std::string ParseDmiField(std::string_view text);
// A device-tree string list ("vendor,board\0vendor,soc\0"): the vendor of the
// first entry.
std::string ParseDeviceTreeVendor(std::string_view compatible);

// --- power ---------------------------------------------------------------------

struct PowerSupply {
  std::string type;   // "Mains", "Battery", "USB", ...
  std::string scope;  // "System", "Device" (a mouse battery), or empty
  std::optional<bool> online;
  std::optional<bool> present;
};
// A power_supply uevent file (POWER_SUPPLY_KEY=value lines).
PowerSupply ParsePowerSupplyUevent(std::string_view text);

// The system's own power status, as it gives it (Windows keeps one; the
// kernel here publishes the supplies instead, read as uevent texts).
struct SystemPowerStatus {
  std::uint8_t ac_line_status = 255;  // 0 offline, 1 online, 255 unknown
  // Bits: 1 high, 2 low, 4 critical, 8 charging, 128 no system battery;
  // 255 unknown.
  std::uint8_t battery_flag = 255;
  std::uint8_t battery_life_percent = 255;  // 255 unknown
};
// 50 where the system keeps no such status.
Result<SystemPowerStatus> ReadSystemPowerStatus();

// --- storage -------------------------------------------------------------------

// How the disk behind a sysfs block device path is attached, in the numbers
// of the Windows storage bus types (0 unknown, 1 SCSI, 3 ATA, 7 USB, 11 SATA,
// 12 SD, 13 MMC, 14 virtual, 17 NVMe).
std::uint32_t ClassifyBlockBus(std::string_view sysfs_device_path);
// queue/rotational: 1 spinning, 0 solid state; nullopt when not a number.
std::optional<bool> ParseRotational(std::string_view text);

// --- readers -------------------------------------------------------------------

// The machine as files under `root` ("/" for this one).
class Reader {
 public:
  explicit Reader(std::filesystem::path root = "/");

  Result<std::string> CpuInfoText() const;           // /proc/cpuinfo
  Result<std::string> OnlineCpusText() const;        // /sys/devices/system/cpu/online
  Result<std::string> OsReleaseText() const;         // /etc/os-release, else /usr/lib/os-release
  Result<std::string> MemInfoText() const;           // /proc/meminfo
  // A file of /sys/class/dmi/id ("sys_vendor", "board_vendor", ...).
  Result<std::string> DmiText(std::string_view field) const;
  Result<std::string> DeviceTreeCompatible() const;  // /proc/device-tree/compatible
  // The uevent text of every supply under /sys/class/power_supply.
  Result<std::vector<std::string>> PowerSupplyUevents() const;
  // Installed memory from the memory blocks the kernel manages, in KiB
  // (block size times the number of blocks); 2 when not published.
  Result<std::uint64_t> InstalledMemoryKib() const;
  bool KvmDevicePresent() const;  // /dev/kvm

  // The disk that holds `path` (on this machine's root only): its sysfs
  // device path and queue/rotational text.
  struct BlockDevice {
    std::string sysfs_path;
    std::string rotational;
  };
  Result<BlockDevice> DiskHolding(const std::filesystem::path& path) const;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path Under(std::string_view absolute) const;
  std::filesystem::path root_;
};

// uname(2) of the running kernel.
KernelName Uname();

}  // namespace platform::machine
