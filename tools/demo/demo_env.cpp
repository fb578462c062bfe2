// Small helper of the demo: writes and reads the sandbox machine's emulated
// registry ($QUARRION_HOME), which a shell script cannot do by itself.
//
//   quarrion-demo-env client-install <install root> <current version>
//   quarrion-demo-env pending-deletes
//   quarrion-demo-env set-env <name> <text>     (Software\Quarrion\Env, HKCU)
//   quarrion-demo-env set-number <subkey> <name> <number>   (HKCU)
//   quarrion-demo-env trust-ca <PEM file>   (Windows: the user's root store)
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "platform/registry.h"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>

namespace {

// The machine's administrator trusting the service stand-in's CA, as it
// would trust a company CA: Schannel verifies a chain against the system
// store, and under Wine a CA handed to it with the connection is not used.
int TrustCa(const char* pem_file) {
  std::ifstream in(pem_file, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (pem.empty() || !::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr,
                                             &size, nullptr, nullptr)) {
    return 1;
  }
  std::string der(size, '\0');
  if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr)) {
    return 1;
  }
  HCERTSTORE root = ::CertOpenSystemStoreW(0, L"ROOT");
  if (root == nullptr) return 1;
  const BOOL added = ::CertAddEncodedCertificateToStore(
      root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size,
      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  ::CertCloseStore(root, 0);
  return added ? 0 : 1;
}

}  // namespace
#endif

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
    if (value && *value) {
      for (const std::wstring& entry : **value) {
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
#ifdef _WIN32
  if (argc == 3 && std::strcmp(argv[1], "trust-ca") == 0) return TrustCa(argv[2]);
#endif
  std::fprintf(stderr,
               "usage: %s client-install <install root> <current version>\n"
               "       %s pending-deletes\n"
               "       %s set-env <name> <text>\n"
               "       %s set-number <subkey> <name> <number>\n",
               argv[0], argv[0], argv[0], argv[0]);
  return 2;
}
