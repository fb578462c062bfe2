// Feeds one text to every document reader and checks what must hold for any
// input: nothing escapes as an exception, and every document that was read
// survives writing and reading back unchanged. Shared by the corpus test and
// the fuzz target.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "common/config/model/app_guest_config.h"
#include "common/config/model/app_host_config.h"
#include "common/config/model/app_local_user_config.h"
#include "common/config/model/json_parse.h"
#include "common/config/model/nimbrel_global_config.h"

namespace config_harness {

struct FeedResult {
  int parsed = 0;       // readers that accepted the text as JSON
  std::string failure;  // empty when every invariant held
};

template <class Doc>
void CheckReader(std::string_view text, FeedResult& result, const char* name) {
  std::string error;
  const auto doc = config::ParseDocument<Doc>(text, &error);
  if (!doc) {
    if (error.empty()) result.failure = std::string(name) + ": rejected without a message";
    return;
  }
  ++result.parsed;
  const std::string written = config::json_fields::DumpCompact(config::json_fields::WriteRecord(*doc));
  std::string again_error;
  const auto again = config::ParseDocument<Doc>(written, &again_error);
  if (!again) {
    result.failure = std::string(name) + ": written text does not parse: " + again_error;
  } else if (!(*again == *doc)) {
    result.failure = std::string(name) + ": written text reads back differently: " + written;
  }
}

inline FeedResult FeedAllReaders(std::string_view text) {
  FeedResult result;
  try {
    CheckReader<config::AppHostConfig>(text, result, "host");
    CheckReader<config::AppGuestConfig>(text, result, "guest");
    CheckReader<config::AppLocalUserConfig>(text, result, "local user");
    CheckReader<config::NimbrelGlobalConfig>(text, result, "global");
    // The stored form of the local user configuration has its own writer.
    if (auto local = config::ParseAppLocalUserConfig(text)) {
      const auto stored = config::SerializeLocalUserConfig(*local);
      if (config::ParseAppLocalUserConfig(stored) != local) {
        result.failure = "local user: stored form reads back differently: " + stored;
      }
    }
  } catch (const std::exception& e) {
    result.failure = std::string("exception escaped: ") + e.what();
  }
  return result;
}

}  // namespace config_harness
