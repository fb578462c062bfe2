// The global configuration: settings of the product as a whole (feature
// switches, process monitoring and repair, environment checks, graphics
// block lists, minimum window sizes and DPI bands per screen size, sidebar).
// Stored as the service sent it; this process only reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/config/model/dpi_gear.h"
#include "common/config/model/json_fields.h"

namespace config {

#define CONFIG_USER_MACHINE_STATE_CONFIG_MEMBERS(M)                             \
  M(OPT, std::uint32_t, update_interval_ms, "update_interval_ms")               \
  M(OPT, std::uint32_t, user_in_use_last_input_sec, "user_in_use_last_input_sec")

struct UserMachineStateConfig {
  CONFIG_RECORD(UserMachineStateConfig, CONFIG_USER_MACHINE_STATE_CONFIG_MEMBERS)
};

// A present "feature_toggle" starts from these defaults.
#define CONFIG_FEATURE_TOGGLE_MEMBERS(M)                                                            \
  M(OPT, bool, update_graphic_driver, "update_graphic_driver")                                      \
  M(OPT, bool, recover_data_vdi, "recover_data_vdi")                                                \
  M(OPT, bool, file_transfer, "file_transfer", false)                                               \
  M(OPT, bool, tss_use_local_verify, "tss_use_local_verify", false)                                 \
  M(OPT, bool, android_pagecache_limit, "android_pagecache_limit", true)                            \
  M(OPT, bool, android_pagecache_limit_hdd, "android_pagecache_limit_hdd", false)                   \
  M(OPT, std::int32_t, android_pagecache_limit_percent, "android_pagecache_limit_percent")          \
  M(OPT, std::int32_t, android_pagecache_limit_percent_upgrade,                                     \
    "android_pagecache_limit_percent_upgrade")                                                      \
  M(OPT, std::string, android_pagecache_limit_flowctl, "android_pagecache_limit_flowctl")           \
  M(OPT, std::string, android_pagecache_limit_flowctl_upgrade,                                      \
    "android_pagecache_limit_flowctl_upgrade")                                                      \
  M(OPT, std::int32_t, android_pagecache_low_mem, "android_pagecache_low_mem")                      \
  M(OPT, bool, advanced_media_framework, "advanced_media_framework", false)                         \
  M(OPT, std::int32_t, video_codec_qos_report, "video_codec_qos_report", 0)                         \
  M(OPT, std::int32_t, video_codec_qos_interval, "video_codec_qos_interval", 60000)                 \
  M(OPT, bool, video_codec_qos_enable_new, "video_codec_qos_enable_new", false)                     \
  M(OPT, bool, storage_use_virtio_scsi, "storage_use_virtio_scsi", false)                           \
  M(OPT, bool, android_ipv6_enable, "android_ipv6_enable", false)                                   \
  M(OPT, bool, is_vbox_pipe_queue_lock, "is_vbox_pipe_queue_lock", true)

struct FeatureToggle {
  CONFIG_RECORD(FeatureToggle, CONFIG_FEATURE_TOGGLE_MEMBERS)
};

#define CONFIG_KEYMAPPING_CONFIG_MEMBERS(M) \
  M(OPT, std::int32_t, keymapping_guidance_times, "keymapping_guidance_times")

struct KeymappingConfig {
  CONFIG_RECORD(KeymappingConfig, CONFIG_KEYMAPPING_CONFIG_MEMBERS)
};

#define CONFIG_REPORT_INSTALL_LIST_INFO_MEMBERS(M)                             \
  M(REQ, std::int32_t, is_on, "is_on")                                         \
  M(REQ, std::int32_t, report_persent, "report_persent")                       \
  M(OPT, std::int32_t, pc_interval_days, "pc_interval_days")                   \
  M(OPT, std::int32_t, steam_interval_days, "steam_interval_days")             \
  M(OPT, std::int32_t, full_pc_interval_days, "full_pc_interval_days")

struct ReportInstallListInfo {
  CONFIG_RECORD(ReportInstallListInfo, CONFIG_REPORT_INSTALL_LIST_INFO_MEMBERS)
};

#define CONFIG_ENV_DETECT_RECORD_MEMBERS(M)                     \
  M(REQ, EnumCode, detect_type, "detect_type")                  \
  M(REQ, EnumCode, detect_timing, "detect_timing")              \
  M(REQ, std::int32_t, detect_index, "detect_index")            \
  M(REQ, EnumCode, fix_category, "fix_category")                \
  M(REQ, std::string, detect_text, "detect_text")               \
  M(REQ, std::string, detect_desc, "detect_desc")               \
  M(REQ, std::string, button_text, "button_text")               \
  M(REQ, std::int32_t, severe, "severe")                        \
  M(REQ, std::int32_t, show_guide, "show_guide")                \
  M(OPT, std::string, guide_url, "guide_url")

struct EnvDetectRecord {
  CONFIG_RECORD(EnvDetectRecord, CONFIG_ENV_DETECT_RECORD_MEMBERS)
};

#define CONFIG_CATON_MONITOR_MEMBERS(M)                             \
  M(REQ, std::int32_t, capture_frequency, "capture_frequency")      \
  M(REQ, std::int32_t, time_out, "time_out")                        \
  M(REQ, std::int32_t, retry_count, "retry_count")                  \
  M(REQ, std::int32_t, capture_dump_type, "capture_dump_type")

struct CatonMonitor {
  CONFIG_RECORD(CatonMonitor, CONFIG_CATON_MONITOR_MEMBERS)
};

#define CONFIG_HEARTBEAT_REPORTING_MEMBERS(M) M(REQ, std::int32_t, report_gap, "report_gap")

struct HeartbeatReporting {
  CONFIG_RECORD(HeartbeatReporting, CONFIG_HEARTBEAT_REPORTING_MEMBERS)
};

#define CONFIG_PROCESS_ALARM_RECORD_MEMBERS(M)                                  \
  M(REQ, std::string, process_name, "process_name")                             \
  M(REQ, std::int32_t, max_cpu, "max_cpu")                                      \
  M(REQ, std::int32_t, cpu_exceed_dump_type, "cpu_exceed_dump_type")            \
  M(REQ, std::int32_t, cpu_dump_report_gap, "cpu_dump_report_gap")              \
  M(REQ, std::int32_t, max_memory, "max_memory")                                \
  M(REQ, std::int32_t, memory_exceed_dump_type, "memory_exceed_dump_type")      \
  M(REQ, std::int32_t, memory_dump_report_gap, "memory_dump_report_gap")        \
  M(REQ, std::int32_t, max_handle, "max_handle")                                \
  M(REQ, std::int32_t, handle_exceed_dump_type, "handle_exceed_dump_type")      \
  M(REQ, std::int32_t, handle_dump_report_gap, "handle_dump_report_gap")        \
  M(REQ, std::int32_t, max_thread, "max_thread")                                \
  M(REQ, std::int32_t, thread_exceed_dump_type, "thread_exceed_dump_type")      \
  M(REQ, std::int32_t, thread_dump_report_gap, "thread_dump_report_gap")

struct ProcessAlarmRecord {
  CONFIG_RECORD(ProcessAlarmRecord, CONFIG_PROCESS_ALARM_RECORD_MEMBERS)
};

#define CONFIG_REPAIR_RECORD_MEMBERS(M)                                                                   \
  M(REQ, std::string, process_name, "process_name")                                                       \
  M(REQ, std::int32_t, minimize_working_set_when_memory_exceed, "minimize_working_set_when_memory_exceed") \
  M(REQ, std::int32_t, restart_when_freeze, "restart_when_freeze")                                        \
  M(REQ, std::int32_t, restart_limit_count, "restart_limit_count")

struct RepairRecord {
  CONFIG_RECORD(RepairRecord, CONFIG_REPAIR_RECORD_MEMBERS)
};

#define CONFIG_LOAD_APK_ICON_CONFIG_MEMBERS(M)              \
  M(REQ, std::int32_t, max_try_count, "max_try_count")      \
  M(REQ, std::int32_t, interval_ms, "interval_ms")

struct LoadApkIconConfig {
  CONFIG_RECORD(LoadApkIconConfig, CONFIG_LOAD_APK_ICON_CONFIG_MEMBERS)
};

#define CONFIG_DEVICE_RECORD_MEMBERS(M)             \
  M(REQ, std::string, name, "name")                 \
  M(REQ, std::int32_t, device_id, "deviceID")

struct DeviceRecord {
  CONFIG_RECORD(DeviceRecord, CONFIG_DEVICE_RECORD_MEMBERS)
};

#define CONFIG_VK_DETECT_CONFIG_MEMBERS(M)                                        \
  M(REQ, bool, is_enable, "is_enable")                                            \
  M(REQ, std::uint64_t, interval_second, "interval_second")                       \
  M(REQ, std::vector<DeviceRecord>, amd_bad_devices, "amd_bad_devices")          \
  M(REQ, std::vector<DeviceRecord>, intel_bad_devices, "intel_bad_devices")      \
  M(REQ, std::vector<DeviceRecord>, nvidia_bad_devices, "nvidia_bad_devices")

struct VkDetectConfig {
  CONFIG_RECORD(VkDetectConfig, CONFIG_VK_DETECT_CONFIG_MEMBERS)
};

#define CONFIG_MINIMUM_SIZE_RECORD_MEMBERS(M)                       \
  M(REQ, std::int32_t, screen_width, "screen_width")                \
  M(REQ, std::int32_t, screen_height, "screen_height")              \
  M(REQ, std::int32_t, app_minimum_width, "app_minimum_width")      \
  M(REQ, std::int32_t, app_minimum_height, "app_minimum_height")

struct MinimumSizeRecord {
  CONFIG_RECORD(MinimumSizeRecord, CONFIG_MINIMUM_SIZE_RECORD_MEMBERS)
};

// A band of screen diagonals (inches) and the resolutions offered in it.
#define CONFIG_DPI_GEAR_BAND_MEMBERS(M)                    \
  M(REQ, float, mini_inch, "mini_inch")                    \
  M(REQ, float, max_inch, "max_inch")                      \
  M(REQ, std::vector<DpiGear>, dpi_gear, "dpi_gear")

struct DpiGearBand {
  CONFIG_RECORD(DpiGearBand, CONFIG_DPI_GEAR_BAND_MEMBERS)
};

#define CONFIG_SIDEBAR_BUTTON_MEMBERS(M)                                 \
  M(OPT, EnumCode, id, "id")                                             \
  M(OPT, std::string, name, "name")                                      \
  M(OPT, std::string, icon_dark, "icon_dark")                            \
  M(OPT, std::string, icon_light, "icon_light")                          \
  M(OPT, std::string, icon_dark_selected, "icon_dark_selected")          \
  M(OPT, std::string, icon_light_selected, "icon_light_selected")

struct SidebarButton {
  CONFIG_RECORD(SidebarButton, CONFIG_SIDEBAR_BUTTON_MEMBERS)
};

#define CONFIG_NIMBREL_GLOBAL_CONFIG_MEMBERS(M)                                                  \
  M(OPT, UserMachineStateConfig, user_machine_state_config, "user_machine_state_config")         \
  M(OPT, FeatureToggle, feature_toggle, "feature_toggle")                                        \
  M(OPT, KeymappingConfig, keymapping_config, "keymapping_config")                               \
  M(OPT, ReportInstallListInfo, report_install_list_info, "report_install_list_info")            \
  M(OPT, std::vector<EnvDetectRecord>, env_detect_list, "env_detect_list")                       \
  M(OPT, CatonMonitor, caton_monitor, "caton_monitor")                                           \
  M(OPT, HeartbeatReporting, heartbeat_reporting, "heartbeat_reporting")                         \
  M(OPT, std::vector<ProcessAlarmRecord>, process_performance_alarm, "process_performance_alarm") \
  M(OPT, std::vector<RepairRecord>, repair_strategy, "repair_strategy")                          \
  M(OPT, LoadApkIconConfig, load_apk_icon_config, "load_apk_icon_config")                        \
  M(OPT, VkDetectConfig, vk_detect_config, "vk_detect_config")                                   \
  M(OPT, std::vector<MinimumSizeRecord>, app_minimum_size, "app_minimum_size")                   \
  M(OPT, std::vector<DpiGearBand>, aosp_dpi_gear, "aosp_dpi_gear")                               \
  M(OPT, std::vector<SidebarButton>, sidebar_btn_config, "sidebar_btn_config")

struct NimbrelGlobalConfig {
  CONFIG_RECORD(NimbrelGlobalConfig, CONFIG_NIMBREL_GLOBAL_CONFIG_MEMBERS)
};

void from_json(const nlohmann::json& j, NimbrelGlobalConfig& out);

std::optional<NimbrelGlobalConfig> ParseNimbrelGlobalConfig(std::string_view text,
                                                            std::string* error = nullptr);

}  // namespace config
