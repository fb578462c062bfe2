#include "qtbaseex/qdebug_ext.h"

#include <QString>

// Through QString so the stream's quote/noquote and spacing settings apply the
// same way as for any other text.
QDebug operator<<(QDebug debug, const std::string& text) {
  return debug << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QDebug operator<<(QDebug debug, std::string_view text) {
  return debug << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}
