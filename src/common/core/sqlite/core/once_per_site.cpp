#include "common/core/sqlite/core/once_per_site.h"

#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace once_per_site {
namespace {

using Key = std::tuple<std::string, std::uint_least32_t, std::uint_least32_t, int>;

struct Registry {
  std::mutex mutex;
  // Flags are heap nodes so their address survives later insertions.
  std::map<Key, std::unique_ptr<std::once_flag>> flags;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: sites may fail during exit
  return *registry;
}

}  // namespace

std::once_flag& FlagOf(const Site& site) {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.mutex);
  auto& slot = registry.flags[Key{site.file, site.line, site.column, site.kind}];
  if (!slot) slot = std::make_unique<std::once_flag>();
  return *slot;
}

void ResetForTesting() {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.mutex);
  registry.flags.clear();
}

}  // namespace once_per_site
