#include "base/yvok_guid.h"

#include <cstdint>
#include <mutex>
#include <random>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace base::yvok_guid {
namespace {

// A random (version 4) GUID in upper-case hex with hyphens.
std::wstring NewGuidText() {
  std::random_device rd;
  std::uint8_t b[16];
  for (int i = 0; i < 16; i += 4) {
    const std::uint32_t r = rd();
    for (int k = 0; k < 4; ++k) b[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back(L'-');
    out.push_back(kHex[b[i] >> 4]);
    out.push_back(kHex[b[i] & 0x0F]);
  }
  return out;
}

std::string ReadOrCreate() {
  const std::wstring key = MultiInst::Instance()->GetComponentRegRoot(0);
  const auto v = platform::registry::Read(platform::registry::Root::kLocalMachine, key, L"MachineGuid");
  if (v && *v) {
    if (const auto* s = std::get_if<std::wstring>(&**v); s != nullptr && !s->empty()) {
      return gstring::ToUtf8(*s);
    }
  }
  // Created under one transaction: two processes starting at once agree on
  // whichever identifier was stored first.
  const auto stored = platform::registry::CreateStringIfAbsent(
      platform::registry::Root::kLocalMachine, key, L"MachineGuid", NewGuidText());
  if (!stored) return {};
  return gstring::ToUtf8(*stored);
}

}  // namespace

std::string GetYvokGuid() {
  // The machine's identifier does not change once stored: read once per
  // registry (a registry pointed at another home has its own), and again
  // after this process wrote the registry itself. A forked child, which may
  // no longer reach the registry, reads for itself.
  static std::mutex mutex;
  static platform::Pid owner = 0;
  static std::filesystem::path storage;
  static std::uint64_t serial = 0;
  static std::string known;
  const std::uint64_t current_serial = base::reg::WriteSerial();
  const std::filesystem::path current = platform::registry::StorageDirectory();
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!known.empty() && storage == current && serial == current_serial && owner == platform::CurrentProcessId()) {
      return known;
    }
  }
  std::string guid = ReadOrCreate();
  std::lock_guard<std::mutex> lock(mutex);
  if (!guid.empty()) {
    known = guid;
    storage = current;
    serial = current_serial;
    owner = platform::CurrentProcessId();
  }
  return guid;
}

}  // namespace base::yvok_guid
