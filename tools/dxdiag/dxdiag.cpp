// Stand-in for the system's diagnostic tool: "dxdiag /t <file>" writes a
// text report of this machine's display devices (the DRM cards the kernel
// publishes) in the diagnostic report's layout. Not product code.
//
// QUARRION_DXDIAG_DRM_ROOT reads another DRM class tree (captured machines);
// QUARRION_DXDIAG_DELAY_MS makes the tool slow, as the real one is.
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/gpu_sysfs.h"

namespace {

std::string VendorName(std::uint32_t vendor) {
  switch (vendor) {
    case 0x10de: return "NVIDIA";
    case 0x1002: return "Advanced Micro Devices, Inc.";
    case 0x8086: return "Intel Corporation";
    case 0x5143: return "Qualcomm";
    case 0x1414: return "Microsoft";
    case 0x1af4: return "Red Hat, Inc.";
    case 0x15ad: return "VMware";
    case 0x1234: return "QEMU";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "Vendor %04x", vendor);
      return text;
    }
  }
}

std::string ReadTrimmed(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

// The kernel's build date, "(YYYY-MM-DD)" in its version text, as M/D/YYYY.
std::string KernelDate() {
  const std::string version = ReadTrimmed("/proc/sys/kernel/version");
  for (std::size_t i = 0; i + 12 <= version.size(); ++i) {
    int y = 0, m = 0, d = 0;
    if (version[i] == '(' && std::sscanf(version.c_str() + i, "(%4d-%2d-%2d)", &y, &m, &d) == 3) {
      return std::to_string(m) + "/" + std::to_string(d) + "/" + std::to_string(y);
    }
  }
  return "Unknown";
}

int Usage() {
  std::fprintf(stderr, "usage: dxdiag /t <report file>\n");
  return 87;
}

}  // namespace

int main(int argc, char** argv) {
  // The report path is the rest of the line after "/t", unquoted, so a path
  // with blanks arrives in pieces.
  std::string out;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "/t") == 0 || std::strcmp(argv[i], "/T") == 0) {
      for (int j = i + 1; j < argc; ++j) out += (j > i + 1 ? " " : "") + std::string(argv[j]);
      break;
    }
  }
  if (out.empty()) return Usage();
  if (const char* delay = std::getenv("QUARRION_DXDIAG_DELAY_MS"); delay && *delay) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(delay)));
  }
  const char* root_env = std::getenv("QUARRION_DXDIAG_DRM_ROOT");
  const std::string root = root_env && *root_env ? root_env : "/sys/class/drm";
  auto cards = platform::gpu::EnumerateDrmAdapters(root);

  utsname names{};
  ::uname(&names);
  std::ostringstream report;
  report << "------------------\nSystem Information\n------------------\n"
         << "Operating System: " << names.sysname << " " << names.release << "\n"
         << "   Machine name: " << names.nodename << "\n\n"
         << "---------------\nDisplay Devices\n---------------\n";
  const std::string date = KernelDate();
  if (cards) {
    for (const auto& card : *cards) {
      if (card.vendor_id == 0 && card.device_id == 0) continue;
      char ids[32];
      std::snprintf(ids, sizeof ids, "%04x:%04x", card.vendor_id, card.device_id);
      const std::string vendor = VendorName(card.vendor_id);
      std::string driver_version =
          card.driver.empty() ? "" : ReadTrimmed("/sys/module/" + card.driver + "/version");
      if (driver_version.empty()) driver_version = names.release;
      report << "           Card name: " << vendor << " Graphics Device " << ids
             << (card.driver.empty() ? "" : " (" + card.driver + ")") << "\n"
             << "        Manufacturer: " << vendor << "\n"
             << "           Chip type: " << ids << "\n"
             << "      Driver Version: " << driver_version << "\n"
             << "    Driver Date/Size: " << date << ", 0 bytes\n\n";
    }
  }
  report << "-------------\nSound Devices\n-------------\n";
  // The report goes into the product's temporary folder, which others may
  // write: a new file replaces whatever stands at the name, never written
  // through a link there, and a failed write leaves no half report.
  const std::filesystem::path target(out);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  if (!target.has_filename()) return Usage();
  if (!platform::files::ReplaceWholeFile(folder, target.filename(), report.str())) return 29;
  return 0;
}
