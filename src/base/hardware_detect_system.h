// Hardware and system facts of the base library: processor, firmware maker,
// operating system, memory, virtualisation and the disk that holds the
// emulator's image. Facts that cannot change while the process runs are read
// once; memory is read at every call. Each query has a pure counterpart over
// a platform::machine::Reader, so a captured machine can stand in for this one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/machine_facts.h"

#ifdef _WIN32
#include <windows.h>
#else
struct MEMORYSTATUSEX {
  std::uint32_t dwLength = sizeof(MEMORYSTATUSEX);
  std::uint32_t dwMemoryLoad = 0;  // percent in use
  std::uint64_t ullTotalPhys = 0;
  std::uint64_t ullAvailPhys = 0;
  std::uint64_t ullTotalPageFile = 0;
  std::uint64_t ullAvailPageFile = 0;
  std::uint64_t ullTotalVirtual = 0;
  std::uint64_t ullAvailVirtual = 0;
  std::uint64_t ullAvailExtendedVirtual = 0;
};
#endif

namespace base::hardware_detect {

enum class CpuType : int { kUnknown = 0, kIntel = 1, kAmd = 2, kOther = 3, kQualcomm = 4 };

// Whether the processor's virtualisation extensions can be used here.
enum class VTState : int { kUnknown = -1, kDisabled = 0, kEnabled = 1 };
// Whether this system runs on the Microsoft hypervisor.
enum class HyperVState : int { kUnknown = -1, kOff = 0, kOn = 1 };

// Bits of GetCPUSupportSpecialInstructionSet.
enum InstructionSet : std::uint32_t {
  kSse = 1u << 0,
  kSse2 = 1u << 1,
  kSse3 = 1u << 2,
  kSsse3 = 1u << 3,
  kSse41 = 1u << 4,
  kSse42 = 1u << 5,
  kAvx = 1u << 6,
  kAvx2 = 1u << 7,
  kAvx512F = 1u << 8,
  kAes = 1u << 9,
  kFma = 1u << 10,
  kF16c = 1u << 11,
  kNeon = 1u << 12,
  kVmx = 1u << 13,  // Intel VT-x
  kSvm = 1u << 14,  // AMD-V
};

// Media types of the disc (Windows numbers): 0 unspecified, 3 HDD, 4 SSD.
inline constexpr int kDiscUnspecified = 0;
inline constexpr int kDiscHdd = 3;
inline constexpr int kDiscSsd = 4;

unsigned GetLogicalCpuCount();
// Fills the type and the model text; kUnknown and empty when unreadable.
void CpuInfo(CpuType& type, std::string& model);
std::uint32_t GetCPUSupportSpecialInstructionSet();
VTState GetVirtualizationState();
HyperVState GetHyperVState();
// The system's name and version with the kernel release, e.g.
// "Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64".
std::string OsVersion();
// false: the architecture this program runs as; true: the machine's own.
// "x64", "x86", "arm64", "arm", or the kernel's name for anything else.
std::string GetArchitectureStr(bool machine);
// Maker of the machine as its firmware names it; empty when unknown.
std::string GetWindowsManufacturer();
// Disc type (kDisc...) and bus type (Windows storage bus numbers) of the disk
// holding the emulator's image (the product's application-data directory).
int GetVDIImageDiscType(bool refresh = false);
int GetVDIImageDiskBusType();
// Memory now; dwLength 0 when it cannot be read.
MEMORYSTATUSEX GetGlobalMemoryInfo();
// Installed memory in KiB as the machine's memory blocks count it; false when
// the system does not publish it.
bool GetPhysicallyInstalledSystemMemory(std::uint64_t* kib);

// The same over any machine (tests, captured trees). No caching.
namespace from {
unsigned LogicalCpuCount(const platform::machine::Reader& reader);
CpuType CpuTypeOf(const platform::machine::CpuInfo& info);
void CpuInfo(const platform::machine::Reader& reader, CpuType& type, std::string& model);
std::uint32_t InstructionSet(const platform::machine::CpuInfo& info);
VTState VirtualizationState(const platform::machine::Reader& reader);
HyperVState HyperVStateOf(const platform::machine::Reader& reader);
std::string OsVersion(const platform::machine::Reader& reader, std::string_view kernel_release);
std::string ArchitectureName(std::string_view kernel_machine);
std::string Manufacturer(const platform::machine::Reader& reader);
MEMORYSTATUSEX GlobalMemoryInfo(const platform::machine::Reader& reader);
int DiscType(const platform::machine::Reader::BlockDevice& device);
int BusType(const platform::machine::Reader::BlockDevice& device);
}  // namespace from

}  // namespace base::hardware_detect
