// The parts of the session facility that are the same on every system.
#include "platform/session.h"

namespace platform {

std::vector<std::string> ParseNulSeparated(std::string_view block) {
  std::vector<std::string> out;
  while (!block.empty()) {
    const std::size_t end = block.find('\0');
    out.emplace_back(block.substr(0, end));
    if (end == std::string_view::npos) break;
    block.remove_prefix(end + 1);
  }
  return out;
}

}  // namespace platform
