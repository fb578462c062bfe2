// The guest configuration: what the emulator reads for one application. It
// is stored as the service sent it and patched as JSON by the manager; this
// structure is the read-only view of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/config/model/json_fields.h"

namespace config {

// "multipane": the split-screen pane. The values are texts ("true", "0.5").
#define CONFIG_MULTIPANE_MEMBERS(M)                    \
  M(OPT, std::string, enable, "enable")                \
  M(OPT, std::string, ratio, "ratio")                  \
  M(OPT, std::string, drag_bar, "dragBar")             \
  M(OPT, std::string, orientation, "orientation")

struct MultipaneConfig {
  CONFIG_RECORD(MultipaneConfig, CONFIG_MULTIPANE_MEMBERS)
};

#define CONFIG_APP_GUEST_CONFIG_MEMBERS(M)                                                   \
  M(OPT, bool, notification, "notification")                                                 \
  M(OPT, MultipaneConfig, multipane, "multipane")                                            \
  M(OPT, std::uint8_t, force_desktop_mode, "force_desktop_mode")                             \
  M(OPT, std::vector<bool>, switch_list, "switch_list")                                      \
  M(OPT, nlohmann::json, file_save_config, "file_save_config")                               \
  M(OPT, bool, enable_virtual_button, "enable_virtual_button")                               \
  M(OPT, std::uint8_t, default_render_type, "default_render_type")                           \
  M(OPT, bool, is_portrait_screen, "is_portrait_screen", false)                              \
  M(OPT, bool, is_use_fake_camera, "is_use_fake_camera", false)                              \
  M(OPT, std::int32_t, support_split_screen, "support_split_screen")                         \
  M(OPT, bool, disable_frame_generation, "disable_frame_generation")                         \
  M(OPT, bool, enable_texturecompression, "enable_texturecompression")                       \
  M(OPT, std::uint32_t, low_system_memory_threshold_gb, "low_system_memory_threshold_gb")    \
  M(OPT, std::uint32_t, low_discrete_vram_threshold_gb, "low_discrete_vram_threshold_gb")

struct AppGuestConfig {
  CONFIG_RECORD(AppGuestConfig, CONFIG_APP_GUEST_CONFIG_MEMBERS)
};

// Reads a parsed document; starts from the defaults and never fails.
void from_json(const nlohmann::json& j, AppGuestConfig& out);

// Parses document text. A text that is not a JSON document (an empty one
// included) gives nullopt and the parser's message in `error`.
std::optional<AppGuestConfig> ParseAppGuestConfig(std::string_view text, std::string* error = nullptr);

}  // namespace config
