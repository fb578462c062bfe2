#include "qtbaseex/qdebug_ext.h"

#include <QString>

// Through QString so the stream's spacing applies as for any other piece;
// the quoting is switched off for the piece only.
QDebug operator<<(QDebug debug, std::string_view text) {
  QDebugStateSaver saver(debug);
  debug.noquote() << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
  return debug;
}

QDebug operator<<(QDebug debug, const std::string& text) {
  return debug << std::string_view(text);
}
