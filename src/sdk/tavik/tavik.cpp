// The device-identity SDK: a stable, opaque identifier of this machine per
// application key. It is derived from the machine's own identity (the OS
// machine id - on Windows the MachineGuid the system keeps - else the
// firmware's product UUID, else the host name), so it
// survives reinstalls of the product and differs between machines, and it is
// hashed with the application key, so two applications cannot join their
// identifiers.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "platform/system_text.h"
#include "sdk/tavik/tavik_exports.h"
#ifdef _WIN32
#include <variant>

#include "platform/registry.h"
#include "platform/text.h"
#define TAVIK_EXPORT __declspec(dllexport)
#else
#define TAVIK_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr std::size_t kAppKeyLength = 16;
constexpr std::size_t kIdentifierLength = 32;

std::mutex g_mutex;
std::set<std::string>& Initialised() {
  static std::set<std::string> keys;
  return keys;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) {
    text.pop_back();
  }
  return text;
}

std::string MachineIdentity() {
#ifdef _WIN32
  auto guid = platform::registry::Read(platform::registry::Root::kLocalMachine,
                                       L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid");
  if (guid && *guid) {
    if (const auto* text = std::get_if<std::wstring>(&**guid); text != nullptr && !text->empty()) {
      return platform::text::ToUtf8(*text);
    }
  }
#endif
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id",
                           "/sys/class/dmi/id/product_uuid", "/proc/sys/kernel/hostname"}) {
    auto text = platform::ReadSystemText(path, 4096);
    if (text) {
      std::string value = Trimmed(std::move(*text));
      if (!value.empty()) return value;
    }
  }
  return {};
}

std::uint64_t Fnv1a(std::string_view data, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (unsigned char c : data) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  // Final avalanche so nearby inputs spread over every digit.
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

bool ValidKey(const char* app_key) {
  return app_key != nullptr && std::strlen(app_key) == kAppKeyLength;
}

}  // namespace

extern "C" {

TAVIK_EXPORT int a1(const char* app_key, int /*reserved*/,
                                              const char* /*channel*/, const char* params_json,
                                              const char* /*extra*/, bool /*full*/) {
  if (!ValidKey(app_key)) return 1;
  // Parameters are a JSON object or nothing at all.
  if (params_json != nullptr && params_json[0] != '\0' && params_json[0] != '{') return 2;
  std::lock_guard lock(g_mutex);
  Initialised().insert(app_key);
  return 0;
}

TAVIK_EXPORT int b(const char* app_key, char* record, int size) {
  if (!ValidKey(app_key)) return 1;
  if (record == nullptr || size < static_cast<int>(kIdentifierLength + 1)) return 2;
  {
    std::lock_guard lock(g_mutex);
    if (!Initialised().count(app_key)) return 3;
  }
  const std::string identity = MachineIdentity();
  if (identity.empty()) return 4;
  const std::string input = identity + '\n' + app_key;
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (std::uint64_t seed : {0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL}) {
    const std::uint64_t h = Fnv1a(input, seed);
    for (int shift = 60; shift >= 0; shift -= 4) id.push_back(kHex[(h >> shift) & 0xF]);
  }
  std::memset(record, 0, static_cast<std::size_t>(size));
  std::memcpy(record, id.data(), std::min(id.size(), static_cast<std::size_t>(size) - 1));
  return 0;
}

}  // extern "C"
