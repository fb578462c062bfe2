#include "base/reg.h"

#include <cstdlib>

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

}  // namespace

std::uint64_t GetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                       std::uint64_t default_value) {
  const auto v = reg::Read(root, subkey, name);
  if (!v) return default_value;
  if (const auto* d = std::get_if<std::uint32_t>(&*v)) return *d;
  if (const auto* q = std::get_if<std::uint64_t>(&*v)) return *q;
  return default_value;
}

std::wstring GetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                      std::wstring_view default_value, bool expand) {
  const auto v = reg::Read(root, subkey, name);
  const auto* s = v ? std::get_if<std::wstring>(&*v) : nullptr;
  if (s == nullptr) return std::wstring(default_value);
  return expand ? Expand(*s) : *s;
}

bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, std::uint64_t value) {
  // A number that fits is a DWORD, what other programs reading the same
  // value expect; only larger ones need a QWORD.
  if (value <= 0xFFFFFFFFull) {
    return reg::WriteDword(root, subkey, name, static_cast<std::uint32_t>(value)) == 0;
  }
  return reg::WriteQword(root, subkey, name, value) == 0;
}

bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, std::wstring_view value) {
  return reg::WriteString(root, subkey, name, value) == 0;
}

bool IsExist(HKEY root, std::wstring_view subkey, std::wstring_view name) {
  if (name.empty() && reg::KeyExists(root, subkey)) return true;
  return reg::ValueExists(root, subkey, name);
}

bool DeleteValue(HKEY root, std::wstring_view subkey, std::wstring_view name, bool wow64_64) {
  // Success means the value is gone, whether it was there or not.
  const auto err = reg::DeleteValue(root, subkey, name);
  return err == platform::kErrorSuccess || err == platform::kErrorFileNotFound;
}

}  // namespace base::reg
