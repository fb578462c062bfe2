// No Native Wi-Fi service here: the layers above ask NetworkManager. No
// session ever opens, so every question is one of a closed client.
#include "platform/wlan.h"

namespace platform::wlan {

namespace {
constexpr ErrorCode kErrorNotSupported = 50;
}  // namespace

void ClientTraits::Free(void*) {}

Result<Client> Client::Open() { return Fail(kErrorNotSupported); }

Result<std::vector<Interface>> Client::EnumInterfaces() const { return Fail(kErrorInvalidHandle); }

Result<std::string> Client::CurrentSsid(std::string_view) const { return Fail(kErrorInvalidHandle); }

}  // namespace platform::wlan
