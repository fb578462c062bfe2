// Parsing of configuration document text. The documents come from a network
// service and from a database file, so the text is bounded before the JSON
// library sees it: its size, and its nesting depth (a deeply nested value
// would otherwise exhaust the stack when it is later copied, compared,
// dumped or destroyed). Failures are values, never exceptions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/config/model/json_fields.h"

namespace config {

// Real documents are a few kilobytes and a handful of levels deep; both
// limits are far above them.
inline constexpr std::size_t kMaxDocumentBytes = 8u * 1024u * 1024u;
inline constexpr std::size_t kMaxDocumentDepth = 512;

// The deepest nesting of arrays and objects in the text, brackets inside
// strings not counted. Scanning stops early once `limit` is exceeded.
std::size_t JsonNestingDepth(std::string_view text, std::size_t limit);

// Parses one JSON document (strict: no comments, no trailing text). On
// failure returns nullopt and, when `error` is given, the message: the JSON
// library's own for text that is not JSON (an empty text included).
std::optional<nlohmann::json> ParseJsonDocument(std::string_view text, std::string* error = nullptr);

// Parses document text into its structure: nullopt only when the text is not
// a JSON document; members and sections never fail the parse.
template <json_fields::Record Doc>
std::optional<Doc> ParseDocument(std::string_view text, std::string* error = nullptr) {
  const auto j = ParseJsonDocument(text, error);
  if (!j) return std::nullopt;
  return json_fields::ReadRecord<Doc>(*j);
}

}  // namespace config
