// The common report parameters: their texts, the full key sets, and the
// registry-backed getters read live at every call.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "base/hardware_detect_system.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/report/params/common_params.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

const std::set<std::string> kStaticKeys = {
    "data_version", "os_type", "architecture", "architecture_machine", "biz_id",
    "cpu_core_number", "logic_cpu_core_number", "windows_manufacturer", "locale", "system_type",
    "system_version", "physical_memory", "device_perf_tier", "install_source", "from_source",
    "monitor_refresh_rate", "cpu_vendor", "cpu_model", "laptop", "ac_status",
    "opengl_demo_enable", "image_type", "win_oaid", "mobile_oaid", "pc_oaid", "pc_old_oaid",
    "store_type"};

const std::set<std::string> kVolatileKeys = {
    "tessiva_version", "main_version", "abox_version", "applet_version", "nimbrel_version",
    "image_version", "client_type", "hyperv_enable", "vt_enable", "media_channel",
    "is_shared_screen", "exp_id", "dpi", "screen_inch", "resolution", "imei", "login_openid",
    "login_type", "region", "memory_avail_phys", "graphics_type", "graphics_vendor",
    "opengl_version", "graphics_driver_version", "graphics_driver_publish_date",
    "graphics_card_count", "dedicated_gpu_memory", "second_graphics_type",
    "second_graphics_vendor", "second_graphics_driver_version",
    "second_graphics_driver_publish_date", "vdi_disc_type", "vdi_disk_bus_type",
    "cpu_special_instruction", "security_software_type", "A3", "wune32", "wune40", "guid", "q36",
    "is_system_tray_mode", "image_boot_count", "virtual_engine_type", "wifi"};

template <typename Map>
std::set<std::string> Keys(const Map& map) {
  std::set<std::string> keys;
  for (const auto& [key, value] : map) keys.insert(key);
  return keys;
}

TEST(CommonParamTexts, Locale) {
  const std::pair<const char*, const char*> cases[] = {
      {"de_AT.UTF-8", "de-AT"},
      {"en_US", "en-US"},
      {"sr_RS@latin", "sr-RS"},
      {"ast_ES.UTF-8", "ast-ES"},
      {"es_419.UTF-8", "es-419"},
      {"fr", "fr-DEFAULT_VALUE"},
      {"C", "DEFAULT_VALUE-DEFAULT_VALUE"},
      {"C.UTF-8", "DEFAULT_VALUE-DEFAULT_VALUE"},
      {"POSIX", "DEFAULT_VALUE-DEFAULT_VALUE"},
      {"", "DEFAULT_VALUE-DEFAULT_VALUE"},
      {"de_at", "de-DEFAULT_VALUE"},
      {"EN_US", "DEFAULT_VALUE-US"},
      {"_US", "DEFAULT_VALUE-US"},
      {"\xff\xfe_\x80\x81", "DEFAULT_VALUE-DEFAULT_VALUE"},
      {"de_DE_x", "de-DEFAULT_VALUE"},
      {"de-AT", "de-AT"},  // the Windows spelling of the same name
      {"sr-Latn-RS", "sr-DEFAULT_VALUE"},
  };
  for (const auto& [posix, expected] : cases) EXPECT_EQ(param::LocaleText(posix), expected) << posix;
}

TEST(CommonParamTexts, PhysicalMemoryInGiB) {
  struct Case {
    std::optional<std::uint64_t> kib;
    std::uint64_t total;
    const char* expected;
  };
  const Case cases[] = {
      {16777216, 0, "16"},
      {16777216 + 1048575, 1ull << 40, "16"},  // firmware count truncated, total ignored
      {std::nullopt, 17179869184ull, "16"},
      {std::nullopt, 17179869185ull, "17"},     // the total rounds up
      {0, 17179869184ull - 1, "16"},            // a zero count falls back
      {std::nullopt, 1, "1"},
      {std::nullopt, 0, "0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(param::PhysicalMemoryText(c.kib, c.total), c.expected) << c.total;
  }
}

TEST(CommonParamTexts, SmallCodes) {
  const std::pair<int, const char*> vendors[] = {
      {1, "Intel"}, {2, "AMD"}, {3, "Other"}, {4, "Qualcomm"}, {0, "Unknown"}, {5, "Unknown"}, {-1, "Unknown"}};
  for (const auto& [type, text] : vendors) EXPECT_EQ(param::CpuVendorText(type), text) << type;
  EXPECT_EQ(param::ClientTypeText(0xFFFFFFFFu), "");
  EXPECT_EQ(param::ClientTypeText(0), "0");
  EXPECT_EQ(param::ClientTypeText(0xFFFFFFFEu), "4294967294");
  EXPECT_EQ(param::VirtualizationStateText(-2), "");
  EXPECT_EQ(param::VirtualizationStateText(-1), "-1");
  EXPECT_EQ(param::VirtualizationStateText(1), "1");
}

class CommonParamsTest : public testenv::ProductTest {};

TEST_F(CommonParamsTest, StaticParamsCarryEveryKeyWithTheirFixedValues) {
  MultiInst* inst = MultiInst::Instance();
  base::reg::SetValue(HKEY_CURRENT_USER, inst->GetComponentRegRoot(1), L"DevicePerfTier", L"tier-2");
  param::StaticParams params;
  param::InitStaticParams(params);
  EXPECT_EQ(Keys(params), kStaticKeys);
  EXPECT_EQ(params["data_version"], "v0002");
  EXPECT_EQ(params["os_type"], "3");
  EXPECT_EQ(params["biz_id"], "Quarrion");
  EXPECT_EQ(params["system_type"], "windows");
  EXPECT_EQ(params["device_perf_tier"], "tier-2");
  EXPECT_EQ(params["cpu_core_number"], std::to_string(std::thread::hardware_concurrency()));
  EXPECT_EQ(params["store_type"], "0");
  EXPECT_EQ(params["win_oaid"], "");  // nothing stored

  const fs::path dir = inst->GetCurrentComponentDirectory(1, true);
  std::ofstream(dir / "store_ui_dll.dll") << "x";
  param::StaticParams again;
  param::InitStaticParams(again);
  EXPECT_EQ(again["store_type"], "1");
}

TEST_F(CommonParamsTest, VolatileGettersReadTheRegistryAtEveryCall) {
  MultiInst* inst = MultiInst::Instance();
  param::VolatileParams getters;
  param::InitVolatileParams(getters);
  EXPECT_EQ(Keys(getters), kVolatileKeys);

  struct Case {
    const char* key;
    HKEY root;
    std::wstring subkey;
    const wchar_t* value_name;
    const char* absent;
    std::int64_t stored;
    const char* present;
  };
  const Case cases[] = {
      {"hyperv_enable", HKEY_LOCAL_MACHINE, inst->GetComponentRegRoot(0), L"HyperVState", "", 1, "1"},
      {"vt_enable", HKEY_LOCAL_MACHINE, inst->GetComponentRegRoot(0), L"VtState", "", 0, "0"},
      {"is_system_tray_mode", HKEY_CURRENT_USER, inst->GetComponentRegRoot(1), L"is_system_tray_mode", "-1", 1, "1"},
      {"image_boot_count", HKEY_CURRENT_USER, inst->GetNimbrelEnvRegRoot(), L"ImageBootCount", "0", 42, "42"},
      {"virtual_engine_type", HKEY_CURRENT_USER, inst->GetComponentRegRoot(1), L"VirtualEngineType", "0", 3, "3"},
      // A stored -1 is a state like any other.
      {"vt_enable", HKEY_LOCAL_MACHINE, inst->GetComponentRegRoot(0), L"VtState", "0", -1, "-1"},
      {"client_type", HKEY_CURRENT_USER, inst->GetComponentRegRoot(0), L"ClientType", "1", -1, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(getters[c.key](), c.absent) << c.key;
    base::reg::SetValue(c.root, c.subkey, c.value_name, static_cast<std::int32_t>(c.stored));
    EXPECT_EQ(getters[c.key](), c.present) << c.key;
  }
  for (const char* key : {"imei", "login_openid", "login_type", "wune32", "wune40"}) {
    EXPECT_EQ(getters[key](), "") << key;
  }
  EXPECT_EQ(getters["region"](), "CN");
  EXPECT_EQ(getters["A3"](), getters["guid"]());
  EXPECT_FALSE(getters["A3"]().empty());
}

TEST_F(CommonParamsTest, VirtualizationStateIsCachedForTheGetters) {
  param::VolatileParams getters;
  param::InitVolatileParams(getters);
  ASSERT_EQ(getters["hyperv_enable"](), "");
  param::CacheVirtualizationState();
  const int hyperv = static_cast<int>(base::hardware_detect::GetHyperVState());
  const int vt = static_cast<int>(base::hardware_detect::GetVirtualizationState());
  EXPECT_EQ(getters["hyperv_enable"](), hyperv == -1 ? "" : std::to_string(hyperv));
  EXPECT_EQ(getters["vt_enable"](), vt == -1 ? "" : std::to_string(vt));
}

}  // namespace
