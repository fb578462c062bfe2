// The host configuration: how the client presents one application on the PC.
// Stored as the service sent it; this process only reads it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/config/model/json_fields.h"

namespace config {

#define CONFIG_CAMERA_CONFIG_MEMBERS(M)                        \
  M(OPT, bool, enable, "enable")                               \
  M(OPT, EnumCode, front_align, "front_align")                 \
  M(OPT, std::int32_t, front_rotation, "front_rotation")       \
  M(OPT, EnumCode, back_align, "back_align")                   \
  M(OPT, std::int32_t, back_rotation, "back_rotation")

struct CameraConfig {
  CONFIG_RECORD(CameraConfig, CONFIG_CAMERA_CONFIG_MEMBERS)
};

#define CONFIG_EASTER_EGG_CONFIG_MEMBERS(M) M(OPT, bool, enable, "enable")

struct EasterEggConfig {
  CONFIG_RECORD(EasterEggConfig, CONFIG_EASTER_EGG_CONFIG_MEMBERS)
};

#define CONFIG_CURSOR_RECORD_MEMBERS(M)            \
  M(REQ, bool, is_ani, "is_ani")                   \
  M(REQ, std::string, cursor_url, "cursor_url")

struct CursorRecord {
  CONFIG_RECORD(CursorRecord, CONFIG_CURSOR_RECORD_MEMBERS)
};

#define CONFIG_CURSOR_CONFIG_MEMBERS(M)            \
  M(OPT, CursorRecord, cursor, "cursor")           \
  M(OPT, CursorRecord, lb_cursor, "lb_cursor")     \
  M(OPT, CursorRecord, rb_cursor, "rb_cursor")

struct CursorConfig {
  CONFIG_RECORD(CursorConfig, CONFIG_CURSOR_CONFIG_MEMBERS)
};

#define CONFIG_BAR_RECORD_MEMBERS(M) M(OPT, std::vector<EnumCode>, items, "items")

struct BarRecord {
  CONFIG_RECORD(BarRecord, CONFIG_BAR_RECORD_MEMBERS)
};

inline BarRecord BarWithItems(std::initializer_list<std::int32_t> items) {
  BarRecord bar;
  bar.items.emplace();
  for (const auto item : items) bar.items->push_back(static_cast<EnumCode>(item));
  return bar;
}

#define CONFIG_GRAY_RECORD_MEMBERS(M)                  \
  M(OPT, EnumCode, item_id, "item_id")                 \
  M(OPT, std::int32_t, need_gray, "need_gray")

struct GrayRecord {
  CONFIG_RECORD(GrayRecord, CONFIG_GRAY_RECORD_MEMBERS)
};

// Each bar has its own default; a bar in the document starts from it.
#define CONFIG_FUNCTION_CONFIG_MEMBERS(M)                                                      \
  M(OPT, BarRecord, titlebar_config, "titlebar_config", BarWithItems({}))                      \
  M(OPT, BarRecord, topbar_config, "topbar_config", BarWithItems({201}))                       \
  M(OPT, BarRecord, breadmenu_config, "breadmenu_config", BarWithItems({}))                    \
  M(OPT, BarRecord, functionbar_config, "functionbar_config", BarWithItems({201}))             \
  M(OPT, std::vector<GrayRecord>, breadmenu_gray_config, "breadmenu_gray_config")

struct FunctionConfig {
  CONFIG_RECORD(FunctionConfig, CONFIG_FUNCTION_CONFIG_MEMBERS)
};

#define CONFIG_FEATURE_CONFIG_MEMBERS(M)                              \
  M(OPT, bool, filesystem_guide, "filesystem_guide")                  \
  M(OPT, bool, is_show_keymap_sidebar, "is_show_keymap_sidebar")

struct FeatureConfig {
  CONFIG_RECORD(FeatureConfig, CONFIG_FEATURE_CONFIG_MEMBERS)
};

#define CONFIG_RED_POINT_RECORD_MEMBERS(M)                         \
  M(OPT, EnumCode, function_button_id, "function_button_id")       \
  M(OPT, EnumCode, display_type, "display_type")                   \
  M(OPT, std::int32_t, source_type, "source_type")                 \
  M(OPT, EnumCode, dimension, "dimension")                         \
  M(OPT, bool, clicked, "clicked")

struct RedPointRecord {
  CONFIG_RECORD(RedPointRecord, CONFIG_RED_POINT_RECORD_MEMBERS)
};

#define CONFIG_RED_POINT_CONFIG_MEMBERS(M)                      \
  M(OPT, std::vector<RedPointRecord>, global, "global")         \
  M(OPT, std::vector<RedPointRecord>, local, "local")

struct RedPointConfig {
  CONFIG_RECORD(RedPointConfig, CONFIG_RED_POINT_CONFIG_MEMBERS)
};

// The spellings "vulkan_perfer", "vulkan_perfer_v2" and "tp" are the format's.
#define CONFIG_APP_HOST_CONFIG_MEMBERS(M)                                                           \
  M(OPT, EnumCode, rotation, "rotation")                                                            \
  M(OPT, bool, location, "location")                                                                \
  M(OPT, bool, capturable, "capturable")                                                            \
  M(OPT, bool, fix_aspect_ratio, "fix_aspect_ratio")                                                \
  M(OPT, bool, follow_screen_aspect_ratio, "follow_screen_aspect_ratio")                            \
  M(OPT, Size, aspect_ratio, "aspect_ratio")                                                        \
  M(OPT, Size, resolution, "resolution")                                                            \
  M(OPT, std::uint32_t, dpi, "dpi")                                                                 \
  M(OPT, float, screen_dimension, "screen_dimension")                                               \
  M(OPT, CameraConfig, camera_config, "camera_config")                                              \
  M(OPT, bool, media_mini_window, "media_mini_window")                                              \
  M(OPT, bool, media_tray, "media_tray")                                                            \
  M(OPT, bool, restart_when_first_start, "restart_when_first_start")                                \
  M(OPT, std::uint32_t, restart_delay_time, "restart_delay_time")                                   \
  M(OPT, bool, disable_shortcuts, "disable_shortcuts")                                              \
  M(OPT, std::int32_t, max_notification_count, "max_notification_count", 1)                         \
  M(OPT, std::int32_t, global_max_notification_count, "global_max_notification_count", 5)           \
  M(OPT, bool, report_notification, "report_notification")                                          \
  M(OPT, bool, high_refresh_rate, "high_refresh_rate")                                              \
  M(OPT, std::uint32_t, high_refresh_guide_id, "high_refresh_guide_id")                             \
  M(OPT, bool, auto_fullscreen, "auto_fullscreen")                                                  \
  M(OPT, bool, tp, "tp")                                                                            \
  M(OPT, EasterEggConfig, easter_egg_config, "easter_egg_config")                                   \
  M(OPT, CursorConfig, cursor_config, "cursor_config")                                              \
  M(OPT, FunctionConfig, function_config, "function_config", FunctionConfig{})                      \
  M(OPT, bool, key_esc_close, "key_esc_close")                                                      \
  M(OPT, std::uint8_t, force_desktop_mode, "force_desktop_mode")                                    \
  M(OPT, std::int32_t, support_split_screen, "support_split_screen")                                \
  M(OPT, FeatureConfig, feature_config, "feature_config")                                           \
  M(OPT, EnumCode, exit_configuration, "exit_configuration")                                        \
  M(OPT, std::int32_t, default_physical_resolution, "default_physical_resolution")                  \
  M(OPT, bool, vulkan_perfer, "vulkan_perfer", false)                                               \
  M(OPT, std::int32_t, material_id, "material_id")                                                  \
  M(OPT, bool, is_close_function_bar, "is_close_function_bar")                                      \
  M(OPT, std::int32_t, is_use_automatic_resolution, "is_use_automatic_resolution")                  \
  M(OPT, std::int32_t, app_minimum_width, "app_minimum_width")                                      \
  M(OPT, std::int32_t, app_minimum_height, "app_minimum_height")                                    \
  M(OPT, RedPointConfig, red_point_config, "red_point_config")                                      \
  M(OPT, bool, is_right_button_click_delay, "is_right_button_click_delay")                          \
  M(OPT, std::int32_t, right_button_click_delay_duration, "right_button_click_delay_duration")      \
  M(OPT, bool, use_dpi_config, "use_dpi_config")                                                    \
  M(OPT, std::string, dpi_config, "dpi_config")                                                     \
  M(OPT, std::int32_t, default_frame_rate, "default_frame_rate")                                    \
  M(OPT, std::int32_t, maximum_frame_rate, "maximum_frame_rate")                                    \
  M(OPT, std::vector<std::string>, selectable_aspect_ratio, "selectable_aspect_ratio")              \
  M(OPT, bool, is_disable_custom_size, "is_disable_custom_size")                                    \
  M(OPT, bool, disable_esc_fullscreen, "disable_esc_fullscreen")                                    \
  M(OPT, bool, is_force_close, "is_force_close")                                                    \
  M(OPT, bool, vulkan_perfer_v2, "vulkan_perfer_v2")                                                \
  M(OPT, std::int32_t, default_frame_gen_mode, "default_frame_gen_mode")                            \
  M(OPT, bool, default_frame_gen_enabled, "default_frame_gen_enabled")                              \
  M(OPT, bool, frame_gen_force_disable, "frame_gen_force_disable")                                  \
  M(OPT, std::int32_t, frame_gen_multiplier, "frame_gen_multiplier")                                \
  M(OPT, bool, show_keymap_mode_group_panel, "show_keymap_mode_group_panel")                        \
  M(OPT, std::vector<std::string>, keymap_mode_group_list, "keymap_mode_group_list")                \
  M(OPT, std::int32_t, min_use_time, "min_use_time")                                                \
  M(OPT, EnumCode, key_visibility_mode, "key_visibility_mode")

struct AppHostConfig {
  CONFIG_RECORD(AppHostConfig, CONFIG_APP_HOST_CONFIG_MEMBERS)
};

void from_json(const nlohmann::json& j, AppHostConfig& out);

std::optional<AppHostConfig> ParseAppHostConfig(std::string_view text, std::string* error = nullptr);

}  // namespace config
