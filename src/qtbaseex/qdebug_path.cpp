#include "qtbaseex/qdebug_path.h"

#include <QString>

#include "base/gstring.h"

QDebug operator<<(QDebug debug, const std::filesystem::path& path) {
  // Keeps the stream's spacing, but never its quoting: a path is text.
  QDebugStateSaver saver(debug);
  debug.noquote() << QString::fromStdWString(base::gstring::FromPath(path));
  return debug;
}
