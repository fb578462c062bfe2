// libFuzzer target for the machine-fact parsers (/proc, /sys and os-release
// texts). Any input must be parsed without a crash or a sanitizer report, and
// nothing a parser returns may be longer than its input.
// Built by scripts/fuzz-machine.sh; not part of the normal build.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/machine_facts.h"

namespace machine = platform::machine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto cpu = machine::ParseCpuInfo(text);
  if (cpu.model_name.size() > size || cpu.vendor_id.size() > size) __builtin_trap();
  for (const auto& flag : cpu.flags) {
    if (flag.empty() || flag.size() > size) __builtin_trap();
  }
  if (auto n = machine::ParseCpuListCount(text); n && *n == 0) __builtin_trap();
  const auto os = machine::ParseOsRelease(text);
  if (os.pretty_name.size() > size || os.name.size() > size) __builtin_trap();
  (void)machine::ParseMemInfo(text);
  (void)machine::ParseHexNumber(text);
  if (machine::ParseDmiField(text).size() > size) __builtin_trap();
  if (machine::ParseDeviceTreeVendor(text).size() > size) __builtin_trap();
  const auto supply = machine::ParsePowerSupplyUevent(text);
  if (supply.type.size() > size) __builtin_trap();
  if (machine::ClassifyBlockBus(text) > 17) __builtin_trap();
  (void)machine::ParseRotational(text);
  return 0;
}
