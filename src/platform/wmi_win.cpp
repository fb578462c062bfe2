// WMI over COM: a locator, the namespace, a WQL query and its objects'
// property, each step checked.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "platform/scoped_generic.h"
#include "platform/text.h"
#include "platform/wmi.h"

namespace platform::wmi {

namespace {

template <typename T>
struct ReleaseTraits {
  static T* InvalidValue() { return nullptr; }
  static void Free(T* object) { object->Release(); }
};
template <typename T>
using ComRef = ScopedGeneric<T*, ReleaseTraits<T>>;

struct BstrTraits {
  static BSTR InvalidValue() { return nullptr; }
  static void Free(BSTR text) { ::SysFreeString(text); }
};
using ScopedBstr = ScopedGeneric<BSTR, BstrTraits>;

ScopedBstr Bstr(std::wstring_view text) {
  return ScopedBstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// Uninitialises COM for the thread when it goes, after everything declared
// below it has been released.
class ComScope {
 public:
  ComScope() = default;
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() { ::CoUninitialize(); }
};

// COM takes a process's security once; a second setting would be refused
// as too late, so later questions go by the first one's outcome.
HRESULT ProcessSecurity() {
  static const HRESULT result =
      ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  return result;
}

bool Failed(HRESULT hr, Step step, Answer* answer) {
  if (SUCCEEDED(hr)) return false;
  answer->error = static_cast<ErrorCode>(hr);
  answer->failed_step = step;
  return true;
}

void ReadAll(IEnumWbemClassObject* objects, const std::wstring& property, Answer* answer) {
  for (;;) {
    IWbemClassObject* raw = nullptr;
    ULONG returned = 0;
    if (Failed(objects->Next(WBEM_INFINITE, 1, &raw, &returned), Step::kNext, answer)) return;
    const ComRef<IWbemClassObject> object(raw);
    if (returned == 0 || raw == nullptr) return;
    VARIANT value;
    ::VariantInit(&value);
    if (Failed(raw->Get(property.c_str(), 0, &value, nullptr, nullptr), Step::kRead, answer)) return;
    if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
      const std::wstring_view text(value.bstrVal, ::SysStringLen(value.bstrVal));
      if (!text.empty()) answer->texts.push_back(text::ToUtf8(text));
    }
    ::VariantClear(&value);
  }
}

}  // namespace

Answer QueryTexts(std::wstring_view name_space, std::wstring_view query, std::wstring_view property) {
  Answer answer;
  if (Failed(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), Step::kInitialize, &answer)) return answer;
  const ComScope com;
  if (Failed(ProcessSecurity(), Step::kSecurity, &answer)) return answer;

  IWbemLocator* locator = nullptr;
  if (Failed(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator)),
             Step::kLocator, &answer)) {
    return answer;
  }
  const ComRef<IWbemLocator> owned_locator(locator);

  const ScopedBstr resource = Bstr(name_space);
  IWbemServices* services = nullptr;
  if (Failed(resource ? locator->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                               nullptr, &services)
                      : E_OUTOFMEMORY,
             Step::kConnect, &answer)) {
    return answer;
  }
  const ComRef<IWbemServices> owned_services(services);
  if (Failed(::CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_NONE),
             Step::kProxyBlanket, &answer)) {
    return answer;
  }

  const ScopedBstr language = Bstr(L"WQL");
  const ScopedBstr wql = Bstr(query);
  IEnumWbemClassObject* objects = nullptr;
  if (Failed(language && wql ? services->ExecQuery(language.get(), wql.get(),
                                                   WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                                   nullptr, &objects)
                             : E_OUTOFMEMORY,
             Step::kQuery, &answer)) {
    return answer;
  }
  const ComRef<IEnumWbemClassObject> owned_objects(objects);
  ReadAll(objects, std::wstring(property), &answer);
  return answer;
}

}  // namespace platform::wmi
