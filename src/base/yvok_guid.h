// The product's machine identifier: made once per machine, kept in the
// registry (HKLM, product root, value "MachineGuid").
#pragma once

#include <string>

namespace base::yvok_guid {
std::string GetYvokGuid();
}  // namespace base::yvok_guid

namespace yvok_guid {
using base::yvok_guid::GetYvokGuid;
}
