#include "common/config/model/json_parse.h"

#include <exception>
#include <new>

#include <fmt/format.h>

namespace config {

std::size_t JsonNestingDepth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > deepest) {
          deepest = depth;
          if (deepest > limit) return deepest;
        }
        break;
      case ']':
      case '}':
        // A stray closer is the parser's error to report; it never deepens.
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return deepest;
}

std::optional<nlohmann::json> ParseJsonDocument(std::string_view text, std::string* error) {
  auto fail = [error](std::string message) -> std::optional<nlohmann::json> {
    if (error != nullptr) *error = std::move(message);
    return std::nullopt;
  };
  if (text.size() > kMaxDocumentBytes) {
    return fail(fmt::format("document of {} bytes exceeds the limit of {} bytes", text.size(),
                            kMaxDocumentBytes));
  }
  // The JSON library stops at a NUL as if the text ended there, which would
  // let anything ride behind one. Trailing NULs alone (a C-style terminator
  // kept with the text) are harmless and stay accepted.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos &&
                                         text.find_first_not_of('\0', nul) != std::string_view::npos) {
    return fail(fmt::format("text continues after a NUL character at offset {}", nul));
  }
  // The parser agrees with this scan on every prefix it accepts, so it can
  // never go deeper than the scan says.
  if (JsonNestingDepth(text, kMaxDocumentDepth) > kMaxDocumentDepth) {
    return fail(fmt::format("document nested deeper than {} levels", kMaxDocumentDepth));
  }
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::exception& e) {
    return fail(e.what());
  } catch (const std::bad_alloc&) {
    return fail("out of memory while parsing the document");
  }
}

}  // namespace config
