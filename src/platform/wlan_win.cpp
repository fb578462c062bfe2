// The Native Wi-Fi client (wlanapi): WlanOpenHandle, WlanEnumInterfaces and
// WlanQueryInterface; whatever the service hands out is given back with
// WlanFreeMemory.
#include <windows.h>
#include <objbase.h>
#include <wlanapi.h>

#include <algorithm>

#include "platform/text.h"
#include "platform/wlan.h"

namespace platform::wlan {

namespace {

constexpr DWORD kClientVersion = 2;  // the version of Vista and later
constexpr ErrorCode kErrorInvalidData = 13;

// Memory the service allocated for an answer.
struct ServiceMemoryTraits {
  static void* InvalidValue() { return nullptr; }
  static void Free(void* memory) { ::WlanFreeMemory(memory); }
};
using ServiceMemory = ScopedGeneric<void*, ServiceMemoryTraits>;

std::string GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  const int n = ::StringFromGUID2(guid, text, 40);
  return n > 0 ? text::ToUtf8(std::wstring_view(text, static_cast<std::size_t>(n - 1))) : std::string();
}

}  // namespace

void ClientTraits::Free(void* handle) { ::WlanCloseHandle(handle, nullptr); }

Result<Client> Client::Open() {
  DWORD negotiated = 0;
  HANDLE handle = nullptr;
  if (const DWORD error = ::WlanOpenHandle(kClientVersion, nullptr, &negotiated, &handle);
      error != ERROR_SUCCESS) {
    return Fail(static_cast<ErrorCode>(error));
  }
  if (handle == nullptr) return Fail(kErrorInvalidHandle);
  return Client(handle);
}

Result<std::vector<Interface>> Client::EnumInterfaces() const {
  if (!is_open()) return Fail(kErrorInvalidHandle);
  PWLAN_INTERFACE_INFO_LIST list = nullptr;
  if (const DWORD error = ::WlanEnumInterfaces(handle_.get(), nullptr, &list); error != ERROR_SUCCESS) {
    return Fail(static_cast<ErrorCode>(error));
  }
  const ServiceMemory owned(list);
  std::vector<Interface> out;
  for (DWORD i = 0; list != nullptr && i < list->dwNumberOfItems; ++i) {
    const WLAN_INTERFACE_INFO& info = list->InterfaceInfo[i];
    Interface entry;
    entry.id = GuidText(info.InterfaceGuid);
    entry.description = text::ToUtf8(std::wstring_view(
        info.strInterfaceDescription,
        wcsnlen(info.strInterfaceDescription, std::size(info.strInterfaceDescription))));
    entry.state = static_cast<std::uint32_t>(info.isState);
    out.push_back(std::move(entry));
  }
  return out;
}

Result<std::string> Client::CurrentSsid(std::string_view interface_id) const {
  if (!is_open()) return Fail(kErrorInvalidHandle);
  GUID guid {};
  if (FAILED(::IIDFromString(text::FromUtf8(interface_id).c_str(), &guid))) {
    return Fail(kErrorInvalidParameter);
  }
  DWORD size = 0;
  void* data = nullptr;
  if (const DWORD error = ::WlanQueryInterface(handle_.get(), &guid, wlan_intf_opcode_current_connection,
                                               nullptr, &size, &data, nullptr);
      error != ERROR_SUCCESS) {
    return Fail(static_cast<ErrorCode>(error));
  }
  const ServiceMemory owned(data);
  if (data == nullptr || size < sizeof(WLAN_CONNECTION_ATTRIBUTES)) return Fail(kErrorInvalidData);
  const DOT11_SSID& ssid =
      static_cast<const WLAN_CONNECTION_ATTRIBUTES*>(data)->wlanAssociationAttributes.dot11Ssid;
  const std::size_t length = std::min<std::size_t>(ssid.uSSIDLength, sizeof(ssid.ucSSID));
  return std::string(reinterpret_cast<const char*>(ssid.ucSSID), length);
}

}  // namespace platform::wlan
