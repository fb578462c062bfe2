// File, line and function reach the log record whatever the build type.
#ifndef QT_MESSAGELOGCONTEXT
#define QT_MESSAGELOGCONTEXT
#endif

#include "common/log/adapted_log.h"

#include <QString>

namespace common {

void WriteToLogImpl(const std::string& text, LogCategory category) {
  if (category == nullptr) return;
  // noquote: the text is shown exactly as composed.
  qCInfo(category).noquote() << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace common
