// The system's WLAN service as its Native Wi-Fi client sees it: a session
// with the service, its wireless interfaces and the network an interface is
// connected to. Every error is the service's own number, passed on as it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/scoped_generic.h"

namespace platform::wlan {

// The interface states the service reports; only these two matter here.
inline constexpr std::uint32_t kStateNotReady = 0;
inline constexpr std::uint32_t kStateConnected = 1;

struct Interface {
  // The interface's GUID in its registry form, "{01234567-89AB-...}".
  std::string id;
  std::string description;  // UTF-8
  std::uint32_t state = kStateNotReady;
  bool connected() const { return state == kStateConnected; }
};

struct ClientTraits {
  static void* InvalidValue() { return nullptr; }
  static void Free(void* handle);  // closes the session
};

// One session with the service; closed when the owner goes.
class Client {
 public:
  Client() = default;

  // Opens a session of client version 2. 50 where the system has no such
  // service (there the network manager is asked, by the layers above).
  static Result<Client> Open();

  bool is_open() const { return handle_.is_valid(); }

  // The wireless interfaces, in the service's order. 6 on a closed client.
  Result<std::vector<Interface>> EnumInterfaces() const;
  // The SSID bytes of the interface's current connection, as long as the
  // association says (32 at the most). 87 for an id that is not a GUID, 6 on
  // a closed client.
  Result<std::string> CurrentSsid(std::string_view interface_id) const;

  void Close() { handle_.reset(); }

 private:
  explicit Client(void* handle) : handle_(handle) {}
  ScopedGeneric<void*, ClientTraits> handle_;
};

}  // namespace platform::wlan
