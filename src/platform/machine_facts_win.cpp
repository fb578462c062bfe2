// The machine on Windows. A reader for this machine (the default root)
// answers from the Windows sources and renders what they say in the texts
// the parsers read: the processor keys and the BIOS key under
// HKLM\HARDWARE\DESCRIPTION\System, GetSystemInfo, GlobalMemoryStatusEx,
// RtlGetVersion, the power status and the storage queries. A reader given
// another root reads a captured tree of files, as on every system.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "platform/machine_facts.h"
#include "platform/system_text.h"
#include "platform/text.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace platform::machine {

namespace fs = std::filesystem;

namespace {

const wchar_t kProcessorKey[] = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
const wchar_t kBiosKey[] = L"HARDWARE\\DESCRIPTION\\System\\BIOS";

bool IsThisMachine(const fs::path& root) { return root.empty() || root == fs::path("/"); }

ErrorCode LastError() {
  const DWORD code = ::GetLastError();
  return code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code);
}

// A text value of HKLM (the 64-bit view); 2 when it is not there.
Result<std::string> MachineText(const wchar_t* key, const wchar_t* name) {
  DWORD size = 0;
  LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                                  nullptr, nullptr, &size);
  if (status != ERROR_SUCCESS) return Fail(static_cast<ErrorCode>(status));
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  status = ::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                          nullptr, value.data(), &size);
  if (status != ERROR_SUCCESS) return Fail(static_cast<ErrorCode>(status));
  value.resize(wcsnlen(value.c_str(), value.size()));
  return text::ToUtf8(value);
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
  return s.substr(start);
}

// The processor's features, in the words the kernel's flags line uses.
std::string FeatureFlags(const std::string& vendor) {
  struct Feature {
    DWORD feature;
    const char* flag;
  };
  static constexpr Feature kFeatures[] = {
      {PF_XMMI_INSTRUCTIONS_AVAILABLE, "sse"}, {PF_XMMI64_INSTRUCTIONS_AVAILABLE, "sse2"},
      {PF_SSE3_INSTRUCTIONS_AVAILABLE, "pni"}, {36, "ssse3"},   {37, "sse4_1"},
      {38, "sse4_2"},                          {39, "avx"},     {40, "avx2"},
      {41, "avx512f"},                         {PF_ARM_NEON_INSTRUCTIONS_AVAILABLE, "neon"},
  };
  std::string flags;
  for (const Feature& f : kFeatures) {
    if (::IsProcessorFeaturePresent(f.feature)) {
      if (!flags.empty()) flags += ' ';
      flags += f.flag;
    }
  }
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    const auto add = [&flags](const char* flag) {
      if (!flags.empty()) flags += ' ';
      flags += flag;
    };
    if (c & bit_AES) add("aes");
    if (c & bit_FMA) add("fma");
    if (c & bit_F16C) add("f16c");
    if (c & (1u << 31)) add("hypervisor");
    if ((c & (1u << 5)) && vendor == "GenuineIntel") add("vmx");
  }
  if (vendor == "AuthenticAMD" && __get_cpuid(0x80000001, &a, &b, &c, &d) && (c & (1u << 2))) {
    flags += flags.empty() ? "svm" : " svm";
  }
#endif
  return flags;
}

std::string RenderCpuInfo() {
  SYSTEM_INFO info {};
  ::GetNativeSystemInfo(&info);
  const std::string vendor = Trimmed(MachineText(kProcessorKey, L"VendorIdentifier").value_or(""));
  const std::string model = Trimmed(MachineText(kProcessorKey, L"ProcessorNameString").value_or(""));
  const std::string flags = FeatureFlags(vendor);
  const bool arm = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ||
                   info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM;
  std::string out;
  const unsigned count = std::max<DWORD>(info.dwNumberOfProcessors, 1);
  for (unsigned i = 0; i < count; ++i) {
    out += "processor\t: " + std::to_string(i) + "\n";
    if (arm) {
      // ARM processors name their designer by number, as the kernel does.
      const bool qualcomm = vendor.find("Qualcomm") != std::string::npos;
      out += std::string("CPU implementer\t: ") + (qualcomm ? "0x51" : "0x41") + "\n";
      if (!model.empty()) out += "Model\t\t: " + model + "\n";
      out += "Features\t: " + flags + "\n\n";
    } else {
      out += "vendor_id\t: " + vendor + "\n";
      out += "model name\t: " + model + "\n";
      out += "flags\t\t: " + flags + "\n\n";
    }
  }
  return out;
}

std::string Kib(std::uint64_t bytes) { return std::to_string(bytes / 1024) + " kB\n"; }

struct WindowsVersion {
  DWORD major = 0, minor = 0, build = 0;
};

// RtlGetVersion tells the truth whatever the program's manifest says.
WindowsVersion Version() {
  WindowsVersion v;
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  auto get = ntdll != nullptr
                 ? reinterpret_cast<RtlGetVersionFn>(
                       reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                 : nullptr;
  OSVERSIONINFOW info {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (get != nullptr && get(&info) == 0) {
    v.major = info.dwMajorVersion;
    v.minor = info.dwMinorVersion;
    v.build = info.dwBuildNumber;
  }
  return v;
}

// The Windows storage bus type, as a device path part ClassifyBlockBus knows.
const char* BusPart(STORAGE_BUS_TYPE bus) {
  switch (static_cast<int>(bus)) {
    case 17: return "/nvme";
    case 7: return "/usb";
    case 12:
    case 13: return "/mmc";
    case 14:
    case 15:
    case 16: return "/virtual/block/";
    case 3:
    case 11: return "/ata";
    case 1:
    case 10: return "/host0/target0";
    default: return "";
  }
}

}  // namespace

Reader::Reader(fs::path root) : root_(std::move(root)) {}

fs::path Reader::Under(std::string_view absolute) const {
  return root_ / fs::path(absolute).relative_path();
}

Result<std::string> Reader::CpuInfoText() const {
  if (IsThisMachine(root_)) return RenderCpuInfo();
  return ReadSystemText(Under("/proc/cpuinfo"));
}

Result<std::string> Reader::OnlineCpusText() const {
  if (IsThisMachine(root_)) {
    const DWORD count = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (count == 0) return Fail(LastError());
    return count == 1 ? std::string("0\n") : "0-" + std::to_string(count - 1) + "\n";
  }
  return ReadSystemText(Under("/sys/devices/system/cpu/online"), 4096);
}

Result<std::string> Reader::OsReleaseText() const {
  if (IsThisMachine(root_)) {
    const WindowsVersion v = Version();
    if (v.major == 0) return Fail(kErrorNotSupported);
    const std::string number =
        std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
    std::string product =
        MachineText(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName").value_or("");
    product.erase(std::remove(product.begin(), product.end(), '"'), product.end());
    if (product.empty()) product = "Windows";
    return "NAME=\"Windows\"\nID=windows\nVERSION_ID=\"" + number + "\"\nPRETTY_NAME=\"" + product +
           "\"\n";
  }
  auto text = ReadSystemText(Under("/etc/os-release"), 64 * 1024);
  if (text || (text.error() != kErrorFileNotFound && text.error() != kErrorPathNotFound)) {
    return text;
  }
  return ReadSystemText(Under("/usr/lib/os-release"), 64 * 1024);
}

Result<std::string> Reader::MemInfoText() const {
  if (IsThisMachine(root_)) {
    MEMORYSTATUSEX status {};
    status.dwLength = sizeof(status);
    if (!::GlobalMemoryStatusEx(&status)) return Fail(LastError());
    const std::uint64_t swap_total =
        status.ullTotalPageFile > status.ullTotalPhys ? status.ullTotalPageFile - status.ullTotalPhys : 0;
    const std::uint64_t swap_free = std::min(
        swap_total,
        status.ullAvailPageFile > status.ullAvailPhys ? status.ullAvailPageFile - status.ullAvailPhys : 0);
    return "MemTotal:       " + Kib(status.ullTotalPhys) + "MemFree:        " + Kib(status.ullAvailPhys) +
           "MemAvailable:   " + Kib(status.ullAvailPhys) + "SwapTotal:      " + Kib(swap_total) +
           "SwapFree:       " + Kib(swap_free);
  }
  return ReadSystemText(Under("/proc/meminfo"));
}

Result<std::string> Reader::DmiText(std::string_view field) const {
  if (field.empty() || field.find('/') != std::string_view::npos ||
      field.find('\\') != std::string_view::npos || field == "." || field == "..") {
    return Fail(kErrorInvalidParameter);
  }
  if (IsThisMachine(root_)) {
    struct Field {
      std::string_view dmi;
      const wchar_t* value;
    };
    static constexpr Field kFields[] = {
        {"sys_vendor", L"SystemManufacturer"},     {"product_name", L"SystemProductName"},
        {"product_version", L"SystemVersion"},     {"product_family", L"SystemFamily"},
        {"product_sku", L"SystemSKU"},             {"board_vendor", L"BaseBoardManufacturer"},
        {"board_name", L"BaseBoardProduct"},       {"board_version", L"BaseBoardVersion"},
        {"bios_vendor", L"BIOSVendor"},            {"bios_version", L"BIOSVersion"},
        {"bios_date", L"BIOSReleaseDate"},
    };
    for (const Field& f : kFields) {
      if (f.dmi != field) continue;
      auto value = MachineText(kBiosKey, f.value);
      if (!value) return Fail(value.error());
      return *value + "\n";
    }
    return Fail(kErrorFileNotFound);
  }
  return ReadSystemText(Under("/sys/class/dmi/id") / fs::path(field), 4096);
}

Result<std::string> Reader::DeviceTreeCompatible() const {
  if (IsThisMachine(root_)) return Fail(kErrorFileNotFound);  // firmware tables, no device tree
  return ReadSystemText(Under("/proc/device-tree/compatible"), 4096);
}

Result<SystemPowerStatus> ReadSystemPowerStatus() {
  SYSTEM_POWER_STATUS power {};
  if (!::GetSystemPowerStatus(&power)) return Fail(LastError());
  SystemPowerStatus status;
  status.ac_line_status = power.ACLineStatus;
  status.battery_flag = power.BatteryFlag;
  status.battery_life_percent = power.BatteryLifePercent;
  return status;
}

Result<std::vector<std::string>> Reader::PowerSupplyUevents() const {
  if (IsThisMachine(root_)) {
    const Result<SystemPowerStatus> power = ReadSystemPowerStatus();
    if (!power) return Fail(power.error());
    std::vector<std::string> out;
    if (power->ac_line_status != 255) {
      out.push_back("POWER_SUPPLY_NAME=AC\nPOWER_SUPPLY_TYPE=Mains\nPOWER_SUPPLY_ONLINE=" +
                    std::to_string(power->ac_line_status == 1 ? 1 : 0) + "\n");
    }
    // 128: no system battery; 255: unknown.
    if (power->battery_flag != 128 && power->battery_flag != 255) {
      out.push_back(
          "POWER_SUPPLY_NAME=BAT0\nPOWER_SUPPLY_TYPE=Battery\nPOWER_SUPPLY_SCOPE=System\n"
          "POWER_SUPPLY_PRESENT=1\n");
    }
    return out;
  }
  std::error_code ec;
  fs::directory_iterator it(Under("/sys/class/power_supply"), ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return std::vector<std::string>{};
    return Fail(kErrorGenFailure);
  }
  std::vector<fs::path> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(it->path());
    if (entries.size() > 256) break;
  }
  std::sort(entries.begin(), entries.end());
  std::vector<std::string> out;
  for (const fs::path& entry : entries) {
    auto text = ReadSystemText(entry / "uevent", 64 * 1024);
    if (text) out.push_back(std::move(*text));
  }
  return out;
}

Result<std::uint64_t> Reader::InstalledMemoryKib() const {
  if (IsThisMachine(root_)) {
    ULONGLONG kib = 0;
    if (!::GetPhysicallyInstalledSystemMemory(&kib)) return Fail(LastError());
    if (kib == 0) return Fail(kErrorFileNotFound);
    return static_cast<std::uint64_t>(kib);
  }
  const fs::path dir = Under("/sys/devices/system/memory");
  auto size_text = ReadSystemText(dir / "block_size_bytes", 256);
  // A missing folder on the way is absence too (Windows tells it apart).
  if (!size_text) {
    return Fail(size_text.error() == kErrorPathNotFound ? kErrorFileNotFound : size_text.error());
  }
  const auto block = ParseHexNumber(*size_text);
  if (!block || *block == 0) return Fail(kErrorFileNotFound);
  std::error_code ec;
  std::uint64_t blocks = 0;
  for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("memory", 0) == 0 && name.size() > 6 &&
        std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      ++blocks;
    }
  }
  if (ec || blocks == 0) return Fail(kErrorFileNotFound);
  return blocks * (*block / 1024);
}

bool Reader::KvmDevicePresent() const {
  // Here: the firmware has the virtualisation extensions switched on.
  if (IsThisMachine(root_)) return ::IsProcessorFeaturePresent(PF_VIRT_FIRMWARE_ENABLED) != 0;
  std::error_code ec;
  return fs::exists(Under("/dev/kvm"), ec);
}

Result<Reader::BlockDevice> Reader::DiskHolding(const fs::path& path) const {
  wchar_t volume[MAX_PATH + 1];
  if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH)) return Fail(LastError());
  std::wstring device = volume;
  while (!device.empty() && (device.back() == L'\\' || device.back() == L'/')) device.pop_back();
  if (device.size() != 2 || device[1] != L':') return Fail(kErrorNotSupported);
  device = L"\\\\.\\" + device;
  // No access rights asked: the storage queries need none.
  HANDLE disk = ::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (disk == INVALID_HANDLE_VALUE) return Fail(LastError());
  BlockDevice out;
  STORAGE_PROPERTY_QUERY query {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  alignas(8) unsigned char buffer[1024] = {};
  DWORD returned = 0;
  ErrorCode error = kErrorSuccess;
  if (::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer,
                        sizeof(buffer), &returned, nullptr) &&
      returned >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    out.sysfs_path = text::ToUtf8(device) + BusPart(descriptor->BusType);
  } else {
    error = LastError();
  }
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty {};
  if (::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &penalty,
                        sizeof(penalty), &returned, nullptr) &&
      returned >= sizeof(penalty)) {
    out.rotational = penalty.IncursSeekPenalty ? "1\n" : "0\n";
  }
  ::CloseHandle(disk);
  if (error != 0 && out.rotational.empty()) return Fail(error);
  if (out.sysfs_path.empty()) out.sysfs_path = text::ToUtf8(device);
  return out;
}

KernelName Uname() {
  KernelName out;
  out.sysname = "Windows";
  const WindowsVersion v = Version();
  if (v.major != 0) {
    out.release =
        std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
  }
  SYSTEM_INFO info {};
  ::GetNativeSystemInfo(&info);
  switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: out.machine = "x86_64"; break;
    case PROCESSOR_ARCHITECTURE_INTEL: out.machine = "i686"; break;
    case PROCESSOR_ARCHITECTURE_ARM64: out.machine = "aarch64"; break;
    case PROCESSOR_ARCHITECTURE_ARM: out.machine = "armv7l"; break;
    default: break;
  }
  return out;
}

}  // namespace platform::machine
