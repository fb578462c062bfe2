// Graphics adapters and memory from captured kernel trees: each reads the raw
// text of its fixture and hands it to the parsers, as on a real machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/hardware_detect.h"
#include "platform/gpu_sysfs.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
namespace hd = base::hardware_detect;
using platform::gpu::DrmAdapter;

fs::path Fixture(const std::string& name) { return testenv::SourceDir() / "tests/base/fixtures" / name; }

std::vector<DrmAdapter> Cards(const std::string& tree) {
  auto cards = platform::gpu::EnumerateDrmAdapters(Fixture("drm/" + tree));
  EXPECT_TRUE(cards.ok()) << cards.error();
  return cards.ok() ? *cards : std::vector<DrmAdapter>{};
}

constexpr std::uint64_t kGiB = 1ull << 30;

TEST(DrmTreeTest, DiscreteCardWithVramCounters) {
  const auto cards = Cards("amdgpu");
  ASSERT_EQ(cards.size(), 1u);  // connectors, render nodes and "version" are no cards
  const DrmAdapter& c = cards[0];
  EXPECT_EQ(c.card, "card0");
  EXPECT_EQ(c.vendor_id, 0x1002u);
  EXPECT_EQ(c.device_id, 0x73bfu);
  EXPECT_EQ(c.driver, "amdgpu");
  EXPECT_TRUE(c.boot_vga);
  EXPECT_TRUE(c.has_render_node);
  EXPECT_EQ(c.vram_total_bytes, 17163091968ull);
  EXPECT_EQ(c.vram_used_bytes, kGiB);

  const hd::AdapterInfo a = hd::AdapterFromDrm(c);
  EXPECT_EQ(a.adapter_type & hd::kAdapterRenderSupported, hd::kAdapterRenderSupported);
  EXPECT_EQ(a.adapter_type & (hd::kAdapterSoftwareDevice | hd::kAdapterHybridIntegrated), 0u);
  EXPECT_EQ(a.dedicated_video_memory, 17163091968ull);
  const auto snap = hd::RenderAdapterFreeMemory({a});
  EXPECT_EQ(snap.gpu_kind, "discrete");
  EXPECT_EQ(snap.free_mb, (17163091968ull - kGiB) / (1024 * 1024));
}

TEST(DrmTreeTest, IntegratedCardHasNoDedicatedMemory) {
  const auto cards = Cards("intel");
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].driver, "i915");
  EXPECT_FALSE(cards[0].vram_total_bytes.has_value());
  const hd::AdapterInfo a = hd::AdapterFromDrm(cards[0]);
  EXPECT_NE(a.adapter_type & hd::kAdapterRenderSupported, 0u);
  EXPECT_NE(a.adapter_type & hd::kAdapterHybridIntegrated, 0u);
  EXPECT_EQ(a.dedicated_video_memory, 0u);
  const auto snap = hd::RenderAdapterFreeMemory({a});
  EXPECT_EQ(snap.gpu_kind, "integrated");
  EXPECT_EQ(snap.free_mb, 0u);
}

TEST(DrmTreeTest, SoftwareRendererIsNoRenderAdapterOfItsOwn) {
  const auto cards = Cards("software");
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].vendor_id, 0u);  // no PCI identity published
  const hd::AdapterInfo a = hd::AdapterFromDrm(cards[0]);
  EXPECT_NE(a.adapter_type & hd::kAdapterSoftwareDevice, 0u);
  EXPECT_EQ(a.adapter_type & hd::kAdapterHybridIntegrated, 0u);
  EXPECT_EQ(hd::RenderAdapterFreeMemory({a}).gpu_kind, "software");
}

TEST(DrmTreeTest, NoCardAtAllIsAnEmptyListNotAnError) {
  EXPECT_TRUE(Cards("none").empty());
  auto missing = platform::gpu::EnumerateDrmAdapters(Fixture("drm/no-such-tree"));
  ASSERT_TRUE(missing.ok());
  EXPECT_TRUE(missing->empty());
  const auto snap = hd::RenderAdapterFreeMemory({});
  EXPECT_EQ(snap.gpu_kind, "none");
  EXPECT_EQ(snap.free_mb, 0u);
}

TEST(DrmTreeTest, AnAttributeThatCannotBeReadIsAnErrorNotAbsence) {
  testenv::ProductHome home;
  const fs::path root = home.path() / "drm";
  fs::create_directories(root / "card0" / "device" / "vendor");  // a folder: reading fails
  auto cards = platform::gpu::EnumerateDrmAdapters(root);
  EXPECT_FALSE(cards.ok());
}

TEST(RenderAdapterTest, PrimaryRenderAdapterWinsThenFirstHardwareOne) {
  hd::AdapterInfo igpu;
  igpu.adapter_type = hd::kAdapterRenderSupported | hd::kAdapterHybridIntegrated;
  hd::AdapterInfo dgpu;
  dgpu.adapter_type = hd::kAdapterRenderSupported;
  dgpu.dedicated_video_memory = 8 * kGiB;
  dgpu.free_video_memory = 3 * kGiB;
  hd::AdapterInfo soft;
  soft.adapter_type = hd::kAdapterRenderSupported | hd::kAdapterSoftwareDevice;
  soft.primary = true;

  EXPECT_EQ(hd::RenderAdapterFreeMemory({soft, igpu, dgpu}).gpu_kind, "integrated");
  dgpu.primary = true;
  const auto snap = hd::RenderAdapterFreeMemory({soft, igpu, dgpu});
  EXPECT_EQ(snap.gpu_kind, "discrete");
  EXPECT_EQ(snap.free_mb, 3072u);
}

// Where the display kernel reports the adapter type itself (Windows), its
// bits stand: a driver name says nothing there, and the dedicated memory is
// the kernel's figure.
TEST(RenderAdapterTest, KernelAdapterTypeBitsAreTakenAsTheyAre) {
  const struct {
    std::uint32_t bits;
    const char* kind;
  } cases[] = {
      {hd::kAdapterRenderSupported | hd::kAdapterDisplaySupported, "discrete"},
      {hd::kAdapterRenderSupported | hd::kAdapterHybridIntegrated, "integrated"},
      {hd::kAdapterRenderSupported | hd::kAdapterSoftwareDevice, "software"},
  };
  for (const auto& c : cases) {
    DrmAdapter card;
    card.card = "adapter0";
    card.driver = "i915";  // would read as integrated were it a DRM card
    card.has_render_node = true;
    card.vram_total_bytes = 2 * kGiB;
    card.kernel_adapter_type = c.bits;
    const hd::AdapterInfo adapter = hd::AdapterFromDrm(card);
    EXPECT_EQ(adapter.adapter_type, c.bits);
    EXPECT_EQ(hd::AdapterKind(adapter), c.kind);
    EXPECT_EQ(adapter.dedicated_video_memory, 2 * kGiB);
  }
}

TEST(SysfsParserTest, Values) {
  struct Case { std::string text; std::optional<std::uint32_t> hex; std::optional<std::uint64_t> dec; };
  const Case cases[] = {
      {"0x1002\n", 0x1002u, std::nullopt},
      {"0X10de", 0x10deu, std::nullopt},
      {"4096\n", std::nullopt, 4096u},
      {"", std::nullopt, std::nullopt},
      {"0x", std::nullopt, std::nullopt},
      {"0x1g", std::nullopt, std::nullopt},
      {"-1\n", std::nullopt, std::nullopt},
      {"12 34", std::nullopt, std::nullopt},
      {"0x100000000", std::nullopt, std::nullopt},  // too wide for an id
      {"18446744073709551616", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::gpu::ParseSysfsHex(c.text), c.hex) << c.text;
    EXPECT_EQ(platform::gpu::ParseSysfsUnsigned(c.text), c.dec) << c.text;
  }
}

TEST(SysfsParserTest, CardNamesAndDrivers) {
  EXPECT_EQ(platform::gpu::ParseDrmCardName("card0"), 0u);
  EXPECT_EQ(platform::gpu::ParseDrmCardName("card12"), 12u);
  for (const char* no : {"card", "card0-DP-1", "renderD128", "version", "cardx", "Card0", "card99999"}) {
    EXPECT_FALSE(platform::gpu::ParseDrmCardName(no).has_value()) << no;
  }
  EXPECT_EQ(platform::gpu::ParseUeventDriver("PCI_CLASS=30000\nDRIVER=nouveau\n"), "nouveau");
  EXPECT_EQ(platform::gpu::ParseUeventDriver("PCI_CLASS=30000\nMODALIAS=x"), "");
  EXPECT_EQ(platform::gpu::ParseUeventDriver("XDRIVER=no\n"), "");
}

TEST(MemInfoTest, FromCapturedFiles) {
  auto info = platform::gpu::ReadMemInfo(Fixture("meminfo_8g"));
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->total_bytes, 8046376ull * 1024);
  EXPECT_EQ(info->available_bytes, 4112536ull * 1024);
  // Kernels before MemAvailable: the free memory stands in.
  auto old = platform::gpu::ReadMemInfo(Fixture("meminfo_old_kernel"));
  ASSERT_TRUE(old.ok());
  EXPECT_EQ(old->available_bytes, 1048576ull * 1024);
  EXPECT_FALSE(platform::gpu::ParseMemInfo("MemFree: 5 kB\n").has_value());
  EXPECT_FALSE(platform::gpu::ParseMemInfo("MemTotal: lots kB\n").has_value());
  EXPECT_EQ(platform::gpu::ReadMemInfo(Fixture("no-such-file")).error(), 2u);
}

TEST(MemInfoTest, ThisMachine) {
  const hd::GlobalMemoryInfo info = hd::GetGlobalMemorySummary();
  EXPECT_GT(info.total_phys, 64ull << 20);
  EXPECT_LE(info.avail_phys, info.total_phys);
}

}  // namespace
