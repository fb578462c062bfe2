// Log lines of the configuration pipeline: texts (package names, documents)
// are appended as they are, without quotes or escapes.
#pragma once

#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"
#include "qtbaseex/qdebug_ext.h"

#define CONFIG_LOG(level, category, signature) QX_SIGNED_LOG(level, category, signature).noquote()

namespace config {
// Qt's default category, which the product's own lines without one use.
inline const QLoggingCategory& lc_default() { return *QLoggingCategory::defaultCategory(); }
}  // namespace config
