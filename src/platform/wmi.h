// Questions to the system's management instrumentation (WMI) over COM.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace platform::wmi {

// The steps of a question, in their order. A step that fails ends it, with
// what was read before.
enum class Step {
  kNone,
  kInitialize,    // COM for the calling thread, multithreaded
  kSecurity,      // the process's COM security
  kLocator,       // the WMI locator
  kConnect,       // the namespace
  kProxyBlanket,  // the connection's authentication
  kQuery,
  kNext,          // the next object of the answer
  kRead,          // the property of an object
};

struct Answer {
  std::vector<std::string> texts;  // the non-empty ones, UTF-8, in the answer's order
  ErrorCode error = kErrorSuccess;  // the failing step's HRESULT; 0 when read to the end
  Step failed_step = Step::kNone;
};

// One text property of every object a WQL query answers; objects whose
// property is empty or not text are passed over. COM is left on the calling
// thread as it was found. The process's COM security is set by the first
// question and holds for the process's later ones. Where the system has no
// WMI the answer is empty, failed at kInitialize with 50.
Answer QueryTexts(std::wstring_view name_space, std::wstring_view query, std::wstring_view property);

// The display names of the antivirus products the Security Center lists
// (AntiVirusProduct of ROOT\SecurityCenter2).
Answer QueryAntivirusDisplayNames();

}  // namespace platform::wmi
