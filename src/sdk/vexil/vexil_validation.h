// Checks of the agent's initialisation record.
#pragma once

#include <string>
#include <string_view>

#include "sdk/vexil/vexil_agent.h"

namespace vexil {

bool IsUuidText(std::string_view text);     // 8-4-4-4-12 hexadecimal digits
bool IsAppKeyText(std::string_view text);   // exactly 10 hexadecimal digits
// kVexilOk, or the error of the first invalid field.
int ValidateInitInfo(const VexilInitInfo& info);
// Wide text (UTF-16 on Windows, UTF-32 elsewhere) as UTF-8; what is no code
// point becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);

}  // namespace vexil
