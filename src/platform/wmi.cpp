#include "platform/wmi.h"

namespace platform::wmi {

Answer QueryAntivirusDisplayNames() {
  return QueryTexts(L"ROOT\\SecurityCenter2", L"SELECT * FROM AntiVirusProduct", L"displayName");
}

}  // namespace platform::wmi
