#include "platform/version_resource.h"

namespace platform {

Result<VersionTexts> ReadVersionTexts(const std::filesystem::path&) {
  return Fail(kErrorResourceTypeNotFound);
}

}  // namespace platform
