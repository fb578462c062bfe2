// The machine-fact parsers over captured files and over damaged input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/gpu_sysfs.h"
#include "platform/machine_facts.h"
#include "support/test_env.h"

namespace machine = platform::machine;

namespace {

std::filesystem::path Fixture(const std::string& name) {
  return testenv::SourceDir() / "tests/platform/fixtures/machine" / name;
}

std::string FixtureText(const std::string& machine_name, const std::string& file) {
  return testenv::ReadFile(Fixture(machine_name) / file);
}

TEST(CpuInfoParse, CapturedMachines) {
  struct Case {
    const char* machine;
    const char* vendor;
    const char* model;
    unsigned processors;
    bool has_implementer;
    std::uint32_t implementer;
    const char* some_flag;
  };
  const Case cases[] = {
      {"intel_laptop", "GenuineIntel", "11th Gen Intel(R) Core(TM) i7-1165G7 @ 2.80GHz", 8, false, 0,
       "avx512f"},
      {"amd_desktop", "AuthenticAMD", "AMD Ryzen 7 5800X 8-Core Processor", 16, false, 0, "svm"},
      {"hyperv_vm", "GenuineIntel", "Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz", 2, false, 0,
       "hypervisor"},
      {"arm_board", "", "Raspberry Pi 4 Model B Rev 1.4", 4, true, 0x41, "asimd"},
      {"qualcomm_laptop", "", "", 1, true, 0x51, "atomics"},
      {"container", "GenuineIntel", "Intel(R) Xeon(R) CPU E5-2686 v4 @ 2.30GHz", 3, false, 0, "sse2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    const machine::CpuInfo info = machine::ParseCpuInfo(FixtureText(c.machine, "proc/cpuinfo"));
    EXPECT_EQ(info.vendor_id, c.vendor);
    EXPECT_EQ(info.model_name, c.model);
    EXPECT_EQ(info.processor_count, c.processors);
    EXPECT_EQ(info.has_implementer, c.has_implementer);
    EXPECT_EQ(info.implementer, c.implementer);
    EXPECT_NE(std::find(info.flags.begin(), info.flags.end(), c.some_flag), info.flags.end());
    // "vmx flags" is a different line; its words must not leak into the flags.
    EXPECT_EQ(std::find(info.flags.begin(), info.flags.end(), "preemption_timer"), info.flags.end());
  }
}

TEST(CpuInfoParse, OnlyTheFirstProcessorsFlagsAndNumericProcessorLines) {
  const auto info = machine::ParseCpuInfo(
      "Processor\t: ARMv7 Processor rev 4 (v7l)\nprocessor : 0\nFeatures : half thumb neon\n\n"
      "processor : 1\nFeatures : half\nHardware : BCM2709\n");
  EXPECT_EQ(info.processor_count, 2u);
  EXPECT_EQ(info.flags, (std::vector<std::string>{"half", "thumb", "neon"}));
  EXPECT_EQ(info.model_name, "BCM2709");
}

TEST(CpuListCount, Forms) {
  const std::pair<const char*, std::optional<unsigned>> cases[] = {
      {"0-7\n", 8},  {"0", 1},        {"0,2", 2},           {"0-3,6,8-9", 7},
      {"", {}},      {"3-1", {}},     {"a-b", {}},          {"0-4294967295", {}},
      {"0,,1", {}},  {"0-", {}},      {" 0-1 \n", 2},       {"-1", {}},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(machine::ParseCpuListCount(text), want);
  }
}

TEST(OsReleaseParse, QuotingAndComments) {
  const auto os = machine::ParseOsRelease(
      "# comment\nNAME='Arch Linux'\nPRETTY_NAME=\"Say \\\"hi\\\" OS\"\nID=arch\nVERSION_ID=\n"
      "BROKEN LINE\nPRETTY_NAME=\"second ignored?\"\n");
  EXPECT_EQ(os.name, "Arch Linux");
  EXPECT_EQ(os.id, "arch");
  EXPECT_EQ(os.version_id, "");
  // The last assignment wins, as a shell sourcing the file would have it.
  EXPECT_EQ(os.pretty_name, "second ignored?");
  const auto unterminated = machine::ParseOsRelease("PRETTY_NAME=\"no end");
  EXPECT_EQ(unterminated.pretty_name, "no end");
}

TEST(MemInfoParse, CapturedAndPartial) {
  const auto laptop = machine::ParseMemInfo(FixtureText("intel_laptop", "proc/meminfo"));
  EXPECT_EQ(laptop.total_kib, 16106304u);
  EXPECT_EQ(laptop.available_kib, 9876544u);
  EXPECT_EQ(laptop.swap_total_kib, 2097148u);
  const auto old_kernel = machine::ParseMemInfo(FixtureText("amd_desktop", "proc/meminfo"));
  EXPECT_EQ(old_kernel.total_kib, 32768000u);
  EXPECT_FALSE(old_kernel.available_kib.has_value());
  const auto junk = machine::ParseMemInfo("MemTotal: lots kB\nMemFree: -5 kB\nMemAvailable: 12");
  EXPECT_FALSE(junk.total_kib.has_value());
  EXPECT_FALSE(junk.free_kib.has_value());
  EXPECT_EQ(junk.available_kib, 12u);
}

TEST(DmiField, TrimmedAndPlaceholdersDropped) {
  const std::pair<const char*, const char*> cases[] = {
      {"LENOVO\n", "LENOVO"},
      {"ASUSTeK COMPUTER INC.   \n", "ASUSTeK COMPUTER INC."},
      {"To Be Filled By O.E.M.\n", ""},
      {"to be filled by o.e.m.", ""},
      {"Default string\n", ""},
      {"System manufacturer\n", ""},
      {"\n", ""},
      {"OEMCorp\n", "OEMCorp"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(machine::ParseDmiField(text), want) << text;
}

TEST(DeviceTreeVendor, FirstCompatibleEntry) {
  EXPECT_EQ(machine::ParseDeviceTreeVendor(FixtureText("arm_board", "proc/device-tree/compatible")),
            "raspberrypi");
  EXPECT_EQ(machine::ParseDeviceTreeVendor(std::string_view("nocomma\0brcm,x", 14)), "");
  EXPECT_EQ(machine::ParseDeviceTreeVendor(""), "");
}

TEST(PowerSupplyUevent, Fields) {
  const auto battery = machine::ParsePowerSupplyUevent(
      FixtureText("intel_laptop", "sys/class/power_supply/BAT0/uevent"));
  EXPECT_EQ(battery.type, "Battery");
  EXPECT_EQ(battery.present, true);
  EXPECT_FALSE(battery.online.has_value());
  EXPECT_EQ(battery.scope, "");
  const auto mouse = machine::ParsePowerSupplyUevent(
      FixtureText("intel_laptop", "sys/class/power_supply/hidpp_battery_0/uevent"));
  EXPECT_EQ(mouse.scope, "Device");
  const auto odd = machine::ParsePowerSupplyUevent("POWER_SUPPLY_ONLINE=yes\nPOWER_SUPPLY_TYPE=Mains");
  EXPECT_FALSE(odd.online.has_value());
  EXPECT_EQ(odd.type, "Mains");
}

TEST(BlockBus, SysfsPaths) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"/sys/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", 17},
      {"/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda", 11},
      {"/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host4/target4:0:0/4:0:0:0/block/sdb",
       7},
      {"/sys/devices/pci0000:00/0000:00:04.0/virtio1/block/vda", 14},
      {"/sys/devices/platform/emmc2bus/fe340000.mmc/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0", 13},
      {"/sys/devices/virtual/block/loop0", 14},
      {"/sys/devices/pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0/block/sdc", 1},
      {"", 0},
      {"/sys/devices/whatever/block/xyz", 0},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(machine::ClassifyBlockBus(path), want) << path;
}

TEST(HexNumber, Forms) {
  EXPECT_EQ(machine::ParseHexNumber("8000000\n"), 0x8000000u);
  EXPECT_EQ(machine::ParseHexNumber("0x40000000"), 0x40000000u);
  EXPECT_EQ(machine::ParseHexNumber("zz"), std::nullopt);
  EXPECT_EQ(machine::ParseHexNumber("1ffffffffffffffff"), std::nullopt);  // overflows
}

// Truncated, huge, binary and non-UTF-8 input: every parser returns, nothing
// it reports lies outside the input.
TEST(MachineParsers, HostileInput) {
  std::vector<std::string> inputs;
  const std::string cpuinfo = FixtureText("intel_laptop", "proc/cpuinfo");
  for (std::size_t cut : {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{333},
                          cpuinfo.size() / 2, cpuinfo.size() - 1}) {
    inputs.push_back(cpuinfo.substr(0, cut));
  }
  inputs.push_back(std::string(3 << 20, 'x'));                      // huge, no newline
  inputs.push_back(std::string(1 << 20, '\n'));                     // only newlines
  inputs.push_back(std::string(1 << 16, ':'));                      // only separators
  inputs.push_back("processor\t: 0\nmodel name\t: \xff\xfe\xc3(\x80\x80 \xe9t\xe9\n");  // not UTF-8
  inputs.push_back(std::string("MemTotal:\0 12 kB\nPOWER_SUPPLY_TYPE=\0Mains", 40));
  std::mt19937 rng(7);
  for (int i = 0; i < 64; ++i) {
    std::string blob(1 + rng() % 4096, '\0');
    for (char& c : blob) c = static_cast<char>(rng());
    inputs.push_back(std::move(blob));
  }
  std::string many_processors;
  for (int i = 0; i < 100000; ++i) many_processors += "processor : " + std::to_string(i) + "\n";
  inputs.push_back(many_processors);

  for (const std::string& in : inputs) {
    const auto cpu = machine::ParseCpuInfo(in);
    EXPECT_LE(cpu.model_name.size(), in.size());
    EXPECT_LE(cpu.processor_count, in.size());
    (void)machine::ParseCpuListCount(in);
    const auto os = machine::ParseOsRelease(in);
    EXPECT_LE(os.pretty_name.size(), in.size());
    (void)machine::ParseMemInfo(in);
    EXPECT_LE(machine::ParseDmiField(in).size(), in.size());
    EXPECT_LE(machine::ParseDeviceTreeVendor(in).size(), in.size());
    (void)machine::ParsePowerSupplyUevent(in);
    (void)machine::ClassifyBlockBus(in);
    (void)machine::ParseRotational(in);
    (void)machine::ParseHexNumber(in);
  }
  EXPECT_EQ(machine::ParseCpuInfo(many_processors).processor_count, 100000u);
}

TEST(MachineReader, ReadsUnderItsRootOnly) {
  const machine::Reader reader(Fixture("intel_laptop"));
  EXPECT_TRUE(reader.CpuInfoText().ok());
  EXPECT_EQ(reader.DmiText("../../../../etc/os-release").error(), platform::kErrorInvalidParameter);
  EXPECT_EQ(reader.DmiText("..").error(), platform::kErrorInvalidParameter);
  EXPECT_EQ(reader.DmiText("bios_vendor").error(), platform::kErrorFileNotFound);
  auto supplies = reader.PowerSupplyUevents();
  ASSERT_TRUE(supplies.ok());
  EXPECT_EQ(supplies->size(), 3u);
  auto installed = reader.InstalledMemoryKib();
  ASSERT_TRUE(installed.ok());
  EXPECT_EQ(*installed, 16u * 1024 * 1024);
  EXPECT_TRUE(reader.KvmDevicePresent());

  const machine::Reader bare(Fixture("container"));
  EXPECT_EQ(bare.InstalledMemoryKib().error(), platform::kErrorFileNotFound);
  auto none = bare.PowerSupplyUevents();
  ASSERT_TRUE(none.ok());  // no supplies directory is no supplies, not an error
  EXPECT_TRUE(none->empty());
  EXPECT_FALSE(bare.KvmDevicePresent());
}

// The reader of this machine gives texts its own parsers read, whatever the
// system's sources are.
TEST(MachineReader, ThisMachine) {
  const machine::Reader reader;
  const auto cpu_text = reader.CpuInfoText();
  ASSERT_TRUE(cpu_text) << cpu_text.error();
  const machine::CpuInfo cpu = machine::ParseCpuInfo(*cpu_text);
  EXPECT_GE(cpu.processor_count, 1u);
  const auto online = reader.OnlineCpusText();
  ASSERT_TRUE(online) << online.error();
  EXPECT_EQ(machine::ParseCpuListCount(*online), cpu.processor_count);
  const auto mem_text = reader.MemInfoText();
  ASSERT_TRUE(mem_text) << mem_text.error();
  const machine::MemInfo mem = machine::ParseMemInfo(*mem_text);
  ASSERT_TRUE(mem.total_kib);
  EXPECT_GT(*mem.total_kib, 0u);
  ASSERT_TRUE(mem.available_kib);
  EXPECT_LE(*mem.available_kib, *mem.total_kib);
  EXPECT_EQ(reader.DmiText("no_such_field").error(), platform::kErrorFileNotFound);
  const auto memory = platform::gpu::ReadMemInfo();
  ASSERT_TRUE(memory) << memory.error();
  EXPECT_GT(memory->total_bytes, 0u);
  EXPECT_LE(memory->available_bytes, memory->total_bytes);
#ifdef _WIN32
  const auto os = reader.OsReleaseText();
  ASSERT_TRUE(os) << os.error();
  const machine::OsRelease release = machine::ParseOsRelease(*os);
  EXPECT_EQ(release.id, "windows");
  EXPECT_FALSE(release.pretty_name.empty());
  EXPECT_EQ(release.version_id, machine::Uname().release);
  EXPECT_EQ(machine::Uname().sysname, "Windows");
  // The firmware's maker is in the BIOS key (Wine writes the key, with
  // values as empty as a virtual machine's firmware leaves them).
  EXPECT_TRUE(reader.DmiText("sys_vendor").ok());
  EXPECT_EQ(reader.DeviceTreeCompatible().error(), platform::kErrorFileNotFound);
#endif
}

// The adapters the display kernel (or the DRM class) lists. Wine has no
// kernel adapter queries: the enumeration says so instead of listing none.
TEST(GpuAdapters, ThisMachine) {
  const auto adapters = platform::gpu::EnumerateDrmAdapters();
#ifdef _WIN32
  if (testenv::UnderWine()) {
    EXPECT_EQ(adapters.error(), 50u);
    return;
  }
  ASSERT_TRUE(adapters) << adapters.error();
  for (const auto& adapter : *adapters) EXPECT_TRUE(adapter.kernel_adapter_type) << adapter.card;
#else
  ASSERT_TRUE(adapters) << adapters.error();
  for (const auto& adapter : *adapters) EXPECT_FALSE(adapter.kernel_adapter_type) << adapter.card;
#endif
}

#ifdef _WIN32
// The system's own power status. Wine answers from the host's supplies.
TEST(SystemPowerStatus, ThisMachine) {
  const auto status = machine::ReadSystemPowerStatus();
  ASSERT_TRUE(status) << status.error();
  const unsigned ac = status->ac_line_status;
  const unsigned flag = status->battery_flag;
  const unsigned percent = status->battery_life_percent;
  EXPECT_TRUE(ac <= 1 || ac == 255) << ac;
  EXPECT_TRUE(flag == 255 || (flag & 0x70) == 0) << flag;  // only the defined bits
  EXPECT_TRUE(percent <= 100 || percent == 255) << percent;
}
#endif

}  // namespace
