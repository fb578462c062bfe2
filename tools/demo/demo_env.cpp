// Small helper of the demo: writes and reads the sandbox machine's emulated
// registry ($QUARRION_HOME), which a shell script cannot do by itself.
//
//   quarrion-demo-env client-install <install root> <current version>
//   quarrion-demo-env pending-deletes
//   quarrion-demo-env set-env <name> <text>     (Software\Quarrion\Env, HKCU)
//   quarrion-demo-env set-number <subkey> <name> <number>   (HKCU)
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "platform/registry.h"

int main(int argc, char** argv) {
  MultiInst* inst = MultiInst::Instance();
  inst->Init(L"Quarrion", 0);
  if (argc == 4 && std::strcmp(argv[1], "client-install") == 0) {
    const std::wstring key = inst->GetComponentRegRoot(1);
    const bool ok =
        base::reg::SetValue(HKEY_CURRENT_USER, key, L"InstallRoot", base::gstring::FromUtf8(argv[2])) &&
        base::reg::SetValue(HKEY_CURRENT_USER, key, L"Version", base::gstring::FromUtf8(argv[3]));
    return ok ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "pending-deletes") == 0) {
    const auto value = platform::registry::ReadMultiString(
        platform::registry::Root::kLocalMachine,
        L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations");
    if (value) {
      for (const std::wstring& entry : *value) {
        if (!entry.empty()) std::printf("%s\n", base::gstring::ToUtf8(entry).c_str());
      }
    }
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "set-env") == 0) {
    return base::reg::SetValue(HKEY_CURRENT_USER, inst->GetNimbrelEnvRegRoot(),
                               base::gstring::FromUtf8(argv[2]), base::gstring::FromUtf8(argv[3]))
               ? 0
               : 1;
  }
  if (argc == 5 && std::strcmp(argv[1], "set-number") == 0) {
    return base::reg::SetValue(HKEY_CURRENT_USER, base::gstring::FromUtf8(argv[2]),
                               base::gstring::FromUtf8(argv[3]),
                               static_cast<std::uint64_t>(std::strtoull(argv[4], nullptr, 10)))
               ? 0
               : 1;
  }
  std::fprintf(stderr,
               "usage: %s client-install <install root> <current version>\n"
               "       %s pending-deletes\n"
               "       %s set-env <name> <text>\n"
               "       %s set-number <subkey> <name> <number>\n",
               argv[0], argv[0], argv[0], argv[0]);
  return 2;
}
