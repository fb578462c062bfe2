#include "common/report/params/common_params.h"

#include <filesystem>
#include <thread>

#include "base/gstring.h"
#include "base/hardware_detect_system.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/core/logic/hardware_detect/graphic_info_detector.h"
#include "common/tavik_wune/tavik_wune.h"
#include "common/wifi_helper/system_probes.h"
#include "common/wifi_helper/wifi_helper.h"
#include "platform/session.h"

namespace param {
namespace {

namespace hd = base::hardware_detect;

constexpr const char* kDefaultValue = "DEFAULT_VALUE";

bool AllOf(std::string_view text, int (*pred)(int)) {
  for (char c : text) {
    if (!pred(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string Utf8(const std::wstring& wide) { return base::gstring::ToUtf8(wide); }

// Registry integers are DWORD bit patterns; these read them as signed.
std::int64_t RegInt(HKEY root, const std::wstring& key, const wchar_t* name, std::int32_t fallback) {
  const std::uint64_t raw = base::reg::GetValue(
      root, key, name, static_cast<std::uint64_t>(static_cast<std::uint32_t>(fallback)));
  if (raw > 0xFFFFFFFFull) return static_cast<std::int64_t>(raw);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
}

}  // namespace

std::string LocaleText(std::string_view posix_locale) {
  const auto cut = posix_locale.find_first_of(".@");
  const std::string_view name = posix_locale.substr(0, cut);
  // POSIX names separate the country with '_' ("de_AT"), Windows names with '-' ("de-AT").
  const auto underscore = name.find_first_of("_-");
  const std::string_view language = name.substr(0, underscore);
  const std::string_view country =
      underscore == std::string_view::npos ? std::string_view{} : name.substr(underscore + 1);
  const bool language_ok =
      (language.size() == 2 || language.size() == 3) && AllOf(language, [](int c) {
        return c >= 'a' && c <= 'z' ? 1 : 0;
      });
  const bool country_ok = (country.size() == 2 && AllOf(country, [](int c) {
                            return c >= 'A' && c <= 'Z' ? 1 : 0;
                          })) ||
                          (country.size() == 3 && AllOf(country, [](int c) {
                            return c >= '0' && c <= '9' ? 1 : 0;
                          }));
  return (language_ok ? std::string(language) : kDefaultValue) + "-" +
         (country_ok ? std::string(country) : kDefaultValue);
}

std::string PhysicalMemoryText(std::optional<std::uint64_t> installed_kib,
                               std::uint64_t total_bytes) {
  if (installed_kib && *installed_kib != 0) return std::to_string(*installed_kib >> 20);
  constexpr std::uint64_t kGiB = 1ull << 30;
  return std::to_string(total_bytes / kGiB + (total_bytes % kGiB != 0 ? 1 : 0));
}

std::string CpuVendorText(int cpu_type) {
  switch (cpu_type) {
    case 1: return "Intel";
    case 2: return "AMD";
    case 3: return "Other";
    case 4: return "Qualcomm";
    default: return "Unknown";
  }
}

std::string ClientTypeText(std::uint32_t client_type) {
  return client_type == 0xFFFFFFFFu ? std::string{} : std::to_string(client_type);
}

std::string VirtualizationStateText(std::int64_t stored) {
  return stored == -2 ? std::string{} : std::to_string(stored);
}

void InitStaticParams(StaticParams& params) {
  MultiInst* inst = MultiInst::Instance();
  params["data_version"] = "v0002";
  params["os_type"] = "3";
  params["architecture"] = hd::GetArchitectureStr(false);
  params["architecture_machine"] = hd::GetArchitectureStr(true);
  params["biz_id"] = "Quarrion";
  params["cpu_core_number"] = std::to_string(std::thread::hardware_concurrency());
  params["logic_cpu_core_number"] = std::to_string(hd::GetLogicalCpuCount());
  params["windows_manufacturer"] = hd::GetWindowsManufacturer();
  params["locale"] = LocaleText(platform::UserDefaultLocaleName());
  params["system_type"] = "windows";
  params["system_version"] = hd::OsVersion();
  {
    std::uint64_t kib = 0;
    const bool installed = hd::GetPhysicallyInstalledSystemMemory(&kib);
    const MEMORYSTATUSEX status = hd::GetGlobalMemoryInfo();
    params["physical_memory"] = PhysicalMemoryText(
        installed ? std::optional<std::uint64_t>(kib) : std::nullopt,
        status.dwLength != 0 ? status.ullTotalPhys : 0);
  }
  params["device_perf_tier"] = Utf8(
      base::reg::GetValue(HKEY_CURRENT_USER, inst->GetComponentRegRoot(1), L"DevicePerfTier", L""));
  params["install_source"] = Utf8(inst->GetInstallSource());
  params["from_source"] = inst->GetFromSource();
  params["monitor_refresh_rate"] = system_probes::GetRefreshRateText();
  {
    hd::CpuType type = hd::CpuType::kUnknown;
    std::string model;
    hd::CpuInfo(type, model);
    params["cpu_vendor"] = CpuVendorText(static_cast<int>(type));
    params["cpu_model"] = model;
  }
  {
    system_probes::PowerRecord power;
    system_probes::GetPowerStatus(power);
    params["laptop"] = power.has_battery ? "1" : "0";
    params["ac_status"] = std::to_string(power.ac_line_status);
  }
  params["opengl_demo_enable"] = std::to_string(GraphicInfoDetector::Instance().OpenglDemoResult());
  params["image_type"] = std::to_string(inst->GetImageType());
  params["win_oaid"] = tavik_wune::OaidValue(1);
  params["mobile_oaid"] = tavik_wune::OaidValue(3);
  params["pc_oaid"] = tavik_wune::OaidValue(2);
  params["pc_old_oaid"] = tavik_wune::OaidValue(4);
  {
    std::error_code ec;
    const std::filesystem::path dir = inst->GetCurrentComponentDirectory(1, false);
    params["store_type"] =
        !dir.empty() && std::filesystem::exists(dir / "store_ui_dll.dll", ec) ? "1" : "0";
  }
}

void InitVolatileParams(VolatileParams& getters) {
  const auto version = [](ComponentType type) {
    return [type] { return Utf8(MultiInst::Instance()->GetComponentVersion(type)); };
  };
  const auto root = [](ComponentType type) { return MultiInst::Instance()->GetComponentRegRoot(type); };
  const auto detector = [] { return &GraphicInfoDetector::Instance(); };

  getters["tessiva_version"] = version(201);
  getters["main_version"] = [] { return Utf8(MultiInst::Instance()->GetMainVersion()); };
  getters["abox_version"] = version(2);
  getters["applet_version"] = version(4);
  getters["nimbrel_version"] = version(1);
  getters["image_version"] = version(3);
  getters["client_type"] = [] {
    return ClientTypeText(static_cast<std::uint32_t>(MultiInst::Instance()->GetClientType()));
  };
  getters["hyperv_enable"] = [root] {
    return VirtualizationStateText(RegInt(HKEY_LOCAL_MACHINE, root(0), L"HyperVState", -2));
  };
  getters["vt_enable"] = [root] {
    return VirtualizationStateText(RegInt(HKEY_LOCAL_MACHINE, root(0), L"VtState", -2));
  };
  getters["media_channel"] = [] { return std::to_string(MultiInst::Instance()->GetChannel()); };
  getters["is_shared_screen"] = [] {
    return std::string(system_probes::IsRemoteDesktop() != 0 ? "1" : "0");
  };
  getters["exp_id"] = [] { return MultiInst::Instance()->GetExperimentId(); };
  getters["dpi"] = [] { return system_probes::GetCurrentDpiText(); };
  getters["screen_inch"] = [] { return system_probes::GetScreenInchText(); };
  getters["resolution"] = [] { return system_probes::GetScreenResolutionText(); };
  getters["imei"] = [] { return std::string{}; };
  getters["login_openid"] = [] { return std::string{}; };
  getters["login_type"] = [] { return std::string{}; };
  getters["region"] = [] { return std::string("CN"); };
  getters["memory_avail_phys"] = [] { return system_probes::GetAvailableMemoryText(); };
  getters["graphics_type"] = [detector] { return detector()->OpenglRenderer(); };
  getters["graphics_vendor"] = [detector] { return detector()->VendorClass(); };
  getters["opengl_version"] = [detector] { return detector()->OpenglVersion(); };
  getters["graphics_driver_version"] = [detector] { return detector()->DriverVersion(); };
  getters["graphics_driver_publish_date"] = [detector] { return detector()->DriverPublishDate(); };
  getters["graphics_card_count"] = [detector] {
    return std::to_string(detector()->GraphicCardCount());
  };
  getters["dedicated_gpu_memory"] = [detector] {
    return std::to_string(detector()->DedicatedGpuMemory());
  };
  getters["second_graphics_type"] = [detector] { return detector()->SecondRenderer(); };
  getters["second_graphics_vendor"] = [detector] { return detector()->SecondVendorClass(); };
  getters["second_graphics_driver_version"] = [detector] {
    return detector()->SecondDriverVersion();
  };
  getters["second_graphics_driver_publish_date"] = [detector] {
    return detector()->SecondDriverPublishDate();
  };
  getters["vdi_disc_type"] = [] { return std::to_string(hd::GetVDIImageDiscType(false)); };
  getters["vdi_disk_bus_type"] = [] { return std::to_string(hd::GetVDIImageDiskBusType()); };
  getters["cpu_special_instruction"] = [] {
    return std::to_string(hd::GetCPUSupportSpecialInstructionSet());
  };
  getters["security_software_type"] = [] {
    return std::to_string(system_probes::GetSecuritySoftwareType());
  };
  InitTavikWuneGuid(getters);
  getters["is_system_tray_mode"] = [root] {
    return std::to_string(RegInt(HKEY_CURRENT_USER, root(1), L"is_system_tray_mode", -1));
  };
  getters["image_boot_count"] = [] {
    return std::to_string(RegInt(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(),
                                 L"ImageBootCount", 0));
  };
  getters["virtual_engine_type"] = [root] {
    return std::to_string(RegInt(HKEY_CURRENT_USER, root(1), L"VirtualEngineType", 0));
  };
  getters["wifi"] = [] { return wifi_helper::GetWifiSsid(); };
}

void CacheVirtualizationState() {
  const std::wstring key = MultiInst::Instance()->GetComponentRegRoot(0);
  if (const int state = static_cast<int>(hd::GetHyperVState()); state != -1) {
    base::reg::SetValue(HKEY_LOCAL_MACHINE, key, L"HyperVState", state);
  }
  if (const int state = static_cast<int>(hd::GetVirtualizationState()); state != -1) {
    base::reg::SetValue(HKEY_LOCAL_MACHINE, key, L"VtState", state);
  }
}

}  // namespace param
