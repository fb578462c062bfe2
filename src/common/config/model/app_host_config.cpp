#include "common/config/model/app_host_config.h"

#include "common/config/model/json_parse.h"

namespace config {

void from_json(const nlohmann::json& j, AppHostConfig& out) {
  out = json_fields::ReadRecord<AppHostConfig>(j);
}

std::optional<AppHostConfig> ParseAppHostConfig(std::string_view text, std::string* error) {
  return ParseDocument<AppHostConfig>(text, error);
}

}  // namespace config
