// File, line and function reach the log record whatever the build type.
#ifndef QT_MESSAGELOGCONTEXT
#define QT_MESSAGELOGCONTEXT
#endif

#include "common/log/adapted_log.h"

#include <QString>

#include "qtbaseex/log/signed_log.h"

namespace common {

void WriteToLogImpl(const std::string& text, LogCategory category) {
  if (category == nullptr) return;
  // noquote: the text is shown exactly as composed.
  QX_SIGNED_LOG(info, category,
                "void __cdecl common::WriteToLogImpl(const class std::basic_string<char,struct "
                "std::char_traits<char>,class std::allocator<char> > &,const class QLoggingCategory "
                "&(__cdecl *)(void))")
          .noquote()
      << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace common
