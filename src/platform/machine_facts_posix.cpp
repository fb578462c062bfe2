#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/machine_facts.h"
#include "platform/system_text.h"

namespace platform::machine {

namespace fs = std::filesystem;

Reader::Reader(fs::path root) : root_(std::move(root)) {}

fs::path Reader::Under(std::string_view absolute) const {
  return root_ / fs::path(absolute).relative_path();
}

Result<std::string> Reader::CpuInfoText() const { return ReadSystemText(Under("/proc/cpuinfo")); }

Result<std::string> Reader::OnlineCpusText() const {
  return ReadSystemText(Under("/sys/devices/system/cpu/online"), 4096);
}

Result<std::string> Reader::OsReleaseText() const {
  auto text = ReadSystemText(Under("/etc/os-release"), 64 * 1024);
  if (text || (text.error() != kErrorFileNotFound && text.error() != kErrorPathNotFound)) {
    return text;
  }
  return ReadSystemText(Under("/usr/lib/os-release"), 64 * 1024);
}

Result<std::string> Reader::MemInfoText() const { return ReadSystemText(Under("/proc/meminfo")); }

Result<std::string> Reader::DmiText(std::string_view field) const {
  // Only plain file names: a field never walks out of the directory.
  if (field.empty() || field.find('/') != std::string_view::npos || field == "." || field == "..") {
    return Fail(kErrorInvalidParameter);
  }
  return ReadSystemText(Under("/sys/class/dmi/id") / fs::path(field), 4096);
}

Result<std::string> Reader::DeviceTreeCompatible() const {
  return ReadSystemText(Under("/proc/device-tree/compatible"), 4096);
}

Result<std::vector<std::string>> Reader::PowerSupplyUevents() const {
  std::error_code ec;
  fs::directory_iterator it(Under("/sys/class/power_supply"), ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return std::vector<std::string>{};
    return Fail(FromErrno(ec.value()));
  }
  std::vector<fs::path> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(it->path());
    if (entries.size() > 256) break;  // no machine has that many; stop reading a loop
  }
  std::sort(entries.begin(), entries.end());
  std::vector<std::string> out;
  for (const fs::path& entry : entries) {
    auto text = ReadSystemText(entry / "uevent", 64 * 1024);
    if (text) out.push_back(std::move(*text));
  }
  return out;
}

// The kernel keeps no status of its own: the supplies' uevent texts say it.
Result<SystemPowerStatus> ReadSystemPowerStatus() {
  constexpr ErrorCode kErrorNotSupported = 50;
  return Fail(kErrorNotSupported);
}

Result<std::uint64_t> Reader::InstalledMemoryKib() const {
  const fs::path dir = Under("/sys/devices/system/memory");
  auto size_text = ReadSystemText(dir / "block_size_bytes", 256);
  if (!size_text) return Fail(size_text.error());
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
  if (ec) return Fail(FromErrno(ec.value()));
  if (blocks == 0) return Fail(kErrorFileNotFound);
  return blocks * (*block / 1024);
}

bool Reader::KvmDevicePresent() const {
  std::error_code ec;
  return fs::exists(Under("/dev/kvm"), ec);
}

Result<Reader::BlockDevice> Reader::DiskHolding(const fs::path& path) const {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(FromErrno(errno));
  const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  std::error_code ec;
  fs::path device = fs::canonical(Under("/sys/dev/block") / dev, ec);
  if (ec) return Fail(FromErrno(ec.value()));
  // A partition's queue lives with its whole disk, one level up.
  if (!fs::exists(device / "queue", ec) && fs::exists(device / "partition", ec)) {
    device = device.parent_path();
  }
  BlockDevice out;
  out.sysfs_path = device.string();
  auto rotational = ReadSystemText(device / "queue" / "rotational", 64);
  if (rotational) out.rotational = std::move(*rotational);
  return out;
}

KernelName Uname() {
  KernelName out;
  struct utsname u {};
  if (::uname(&u) == 0) {
    out.sysname = u.sysname;
    out.release = u.release;
    out.machine = u.machine;
  }
  return out;
}

}  // namespace platform::machine
