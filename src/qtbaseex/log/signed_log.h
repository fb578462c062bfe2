// A log record that carries the function text the product's log readers
// know for that line, the same on every platform and compiler, instead of
// what this compiler would write. The category decides, as with qCInfo,
// whether the line is written.
#pragma once

#include <QDebug>
#include <QMessageLogger>

#define QX_SIGNED_LOG(level, category, signature) \
  QMessageLogger(__FILE__, __LINE__, signature).level(category())
