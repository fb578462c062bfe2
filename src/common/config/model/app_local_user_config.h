// The per-application choices of the user. The only document this process
// changes and stores back, so it alone has a writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/config/model/clarity.h"
#include "common/config/model/json_fields.h"

namespace config {

#define CONFIG_APP_CLOSE_ACTION_SET_MEMBERS(M)            \
  M(REQ, EnumCode, close_action, "close_action")          \
  M(REQ, bool, is_popup_inquire, "is_popup_inquire")

struct AppCloseActionSet {
  CONFIG_RECORD(AppCloseActionSet, CONFIG_APP_CLOSE_ACTION_SET_MEMBERS)
};

#define CONFIG_APP_LOCAL_USER_CONFIG_MEMBERS(M)                                                        \
  M(OPT, EnumCode, orientation, "orientation")                                                         \
  M(OPT, Size, landscape_size, "landscape_size")                                                       \
  M(OPT, Size, portrait_size, "portrait_size")                                                         \
  M(OPT, Size, resolution, "resolution")                                                               \
  M(OPT, Size, special_aspect_ratio, "special_aspect_ratio")                                           \
  M(OPT, Size, landscape_render_wnd_size, "landscape_render_wnd_size")                                 \
  M(OPT, Size, portrait_render_wnd_size, "portrait_render_wnd_size")                                   \
  M(OPT, bool, user_select_aspect_ratio, "user_select_aspect_ratio")                                   \
  M(OPT, EnumCode, aspect_ratio, "aspect_ratio")                                                       \
  M(OPT, Clarity, clarity, "clarity")                                                                  \
  M(OPT, bool, user_select_clarity, "user_select_clarity")                                             \
  M(OPT, bool, hide_full_screen_topbar, "hide_full_screen_topbar")                                     \
  M(OPT, bool, split_screen, "split_screen")                                                           \
  M(OPT, std::int32_t, dpi_scale, "dpi_scale")                                                         \
  M(OPT, AppCloseActionSet, app_close_action_set, "app_close_action_set")                              \
  M(OPT, bool, user_has_performed_fullscreen_operation, "user_has_performed_fullscreen_operation")     \
  M(OPT, bool, is_toolbar_open, "is_toolbar_open")                                                     \
  M(OPT, std::int32_t, frame_rate, "frame_rate")                                                       \
  M(OPT, bool, vertical_sync, "vertical_sync")                                                         \
  M(OPT, bool, is_show_high_frame_tips, "is_show_high_frame_tips")                                     \
  M(OPT, bool, esc_exit_fullscreen, "esc_exit_fullscreen")                                             \
  M(OPT, Size, monitor_size, "monitor_size")                                                           \
  M(OPT, float, monitor_dpi, "monitor_dpi")                                                            \
  M(OPT, std::int32_t, volume, "volume")                                                               \
  M(OPT, bool, default_frame_gen_on, "default_frame_gen_on")                                           \
  M(OPT, bool, low_latency_mode, "low_latency_mode")                                                   \
  M(OPT, bool, applied_host_default_frame_gen_enabled, "applied_host_default_frame_gen_enabled")       \
  M(OPT, std::int32_t, applied_host_default_frame_gen_mode, "applied_host_default_frame_gen_mode")     \
  M(OPT, bool, texture_compression, "texture_compression")

struct AppLocalUserConfig {
  CONFIG_RECORD(AppLocalUserConfig, CONFIG_APP_LOCAL_USER_CONFIG_MEMBERS)
};

void from_json(const nlohmann::json& j, AppLocalUserConfig& out);
// Present members only, as an object (keys sorted by the object type).
void to_json(nlohmann::json& j, const AppLocalUserConfig& value);

std::optional<AppLocalUserConfig> ParseAppLocalUserConfig(std::string_view text,
                                                          std::string* error = nullptr);
// The stored form: compact, sorted keys, UTF-8 unescaped.
std::string SerializeLocalUserConfig(const AppLocalUserConfig& value);

// Every member present in `patch` replaces the member of `base`.
void MergeLocalUserConfig(AppLocalUserConfig& base, const AppLocalUserConfig& patch);

}  // namespace config
