#include <windows.h>

#include <string>

#include "platform/diagnostics.h"
#include "platform/text.h"

namespace platform::diagnostics::backend {

// The wide call keeps every character: the narrow one would read the UTF-8
// bytes in the ANSI code page. Without a debugger the system drops the text.
void WriteDebuggerText(std::string_view utf8) {
  const std::wstring wide = text::FromUtf8(utf8);
  ::OutputDebugStringW(wide.c_str());
}

}  // namespace platform::diagnostics::backend
