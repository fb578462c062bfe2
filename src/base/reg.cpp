#include "base/reg.h"

#include <atomic>
#include <cstdlib>
#include <optional>

#include "platform/registry.h"
#include "platform/text.h"

namespace base::reg {
namespace reg = platform::registry;

namespace {

// %NAME% references replaced by the environment, unknown ones kept as they
// stand, as ExpandEnvironmentStrings does.
std::wstring Expand(std::wstring_view text) {
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find(L'%', i);
    if (open == std::wstring_view::npos) break;
    const std::size_t close = text.find(L'%', open + 1);
    if (close == std::wstring_view::npos) break;
    out.append(text.substr(i, open - i));
    const std::wstring_view name = text.substr(open + 1, close - open - 1);
    const char* value =
        name.empty() ? nullptr : std::getenv(platform::text::ToUtf8(name).c_str());
    if (value != nullptr) {
      out += platform::text::FromUtf8(value);
      i = close + 1;
    } else {
      // Keep the first '%' and look again from the second: it may open a
      // reference of its own.
      out.append(text.substr(open, close - open));
      i = close;
    }
  }
  out.append(text.substr(i));
  return out;
}

// The predefined keys as the registry facility's roots; any other key is
// none of ours.
std::optional<reg::Root> RootOf(HKEY root) {
  if (root == HKEY_CURRENT_USER) return reg::Root::kCurrentUser;
  if (root == HKEY_LOCAL_MACHINE) return reg::Root::kLocalMachine;
  return std::nullopt;
}

// The stored value; nullopt when absent, unreadable or under an unknown key.
std::optional<reg::Value> ReadValue(HKEY root, std::wstring_view subkey, std::wstring_view name) {
  const auto r = RootOf(root);
  if (!r) return std::nullopt;
  auto v = reg::Read(*r, subkey, name);
  return v ? std::move(*v) : std::nullopt;
}

std::atomic<std::uint64_t> g_write_serial{0};

void CountWrite() { g_write_serial.fetch_add(1, std::memory_order_acq_rel); }

}  // namespace

std::uint64_t WriteSerial() { return g_write_serial.load(std::memory_order_acquire); }

std::uint64_t GetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                       std::uint64_t default_value) {
  const auto v = ReadValue(root, subkey, name);
  if (!v) return default_value;
  if (const auto* d = std::get_if<std::uint32_t>(&*v)) return *d;
  if (const auto* q = std::get_if<std::uint64_t>(&*v)) return *q;
  return default_value;
}

std::wstring GetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                      std::wstring_view default_value, bool expand) {
  const auto v = ReadValue(root, subkey, name);
  const auto* s = v ? std::get_if<std::wstring>(&*v) : nullptr;
  if (s == nullptr) return std::wstring(default_value);
  return expand ? Expand(*s) : *s;
}

bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, std::uint64_t value) {
  const auto r = RootOf(root);
  // A number that fits is a DWORD, what other programs reading the same
  // value expect; only larger ones need a QWORD.
  const bool written =
      r && (value <= 0xFFFFFFFFull ? reg::WriteDword(*r, subkey, name, static_cast<std::uint32_t>(value))
                                   : reg::WriteQword(*r, subkey, name, value)) == 0;
  // Counted once the value is in place, so a reader that sees the new count
  // reads the new value.
  CountWrite();
  return written;
}

bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, std::wstring_view value) {
  const auto r = RootOf(root);
  const bool written = r && reg::WriteString(*r, subkey, name, value) == 0;
  CountWrite();
  return written;
}

bool IsExist(HKEY root, std::wstring_view subkey, std::wstring_view name) {
  const auto r = RootOf(root);
  if (!r) return false;
  if (name.empty() && reg::KeyExists(*r, subkey)) return true;
  return reg::ValueExists(*r, subkey, name);
}

bool DeleteValue(HKEY root, std::wstring_view subkey, std::wstring_view name, bool wow64_64) {
  // Success means the value is gone, whether it was there or not.
  const auto r = RootOf(root);
  if (!r) return false;
  const auto err = reg::DeleteValue(*r, subkey, name);
  CountWrite();
  return err == platform::kErrorSuccess || err == platform::kErrorFileNotFound;
}

}  // namespace base::reg
