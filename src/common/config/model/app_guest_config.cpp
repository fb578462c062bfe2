#include "common/config/model/app_guest_config.h"

#include "common/config/model/json_parse.h"

namespace config {

void from_json(const nlohmann::json& j, AppGuestConfig& out) {
  out = json_fields::ReadRecord<AppGuestConfig>(j);
}

std::optional<AppGuestConfig> ParseAppGuestConfig(std::string_view text, std::string* error) {
  return ParseDocument<AppGuestConfig>(text, error);
}

}  // namespace config
