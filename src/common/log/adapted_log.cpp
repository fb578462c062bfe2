#include "common/log/adapted_log.h"

#include <QString>

namespace common {

void WriteToLogImpl(const std::string& text, LogCategory category) {
  if (category == nullptr) return;
  qCInfo(category).noquote() << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace common
