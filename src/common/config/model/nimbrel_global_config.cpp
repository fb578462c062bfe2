#include "common/config/model/nimbrel_global_config.h"

#include "common/config/model/json_parse.h"

namespace config {

void from_json(const nlohmann::json& j, NimbrelGlobalConfig& out) {
  out = json_fields::ReadRecord<NimbrelGlobalConfig>(j);
}

std::optional<NimbrelGlobalConfig> ParseNimbrelGlobalConfig(std::string_view text,
                                                            std::string* error) {
  return ParseDocument<NimbrelGlobalConfig>(text, error);
}

}  // namespace config
