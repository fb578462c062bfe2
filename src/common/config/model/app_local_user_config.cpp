#include "common/config/model/app_local_user_config.h"

#include "common/config/model/json_parse.h"

namespace config {

void from_json(const nlohmann::json& j, AppLocalUserConfig& out) {
  out = json_fields::ReadRecord<AppLocalUserConfig>(j);
}

void to_json(nlohmann::json& j, const AppLocalUserConfig& value) {
  j = json_fields::WriteRecord(value);
}

std::optional<AppLocalUserConfig> ParseAppLocalUserConfig(std::string_view text,
                                                          std::string* error) {
  return ParseDocument<AppLocalUserConfig>(text, error);
}

std::string SerializeLocalUserConfig(const AppLocalUserConfig& value) {
  return json_fields::DumpCompact(json_fields::WriteRecord(value));
}

void MergeLocalUserConfig(AppLocalUserConfig& base, const AppLocalUserConfig& patch) {
  json_fields::MergePresentMembers(base, patch);
}

}  // namespace config
