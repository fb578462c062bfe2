// Registry access of the base library. Numbers are read as 64-bit whatever
// their stored width and written as a DWORD when they fit (else a QWORD);
// failures and values of another type give the default.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/win_types.h"

namespace base::reg {

std::uint64_t GetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                       std::uint64_t default_value);
// `expand` replaces %NAME% references with environment values.
std::wstring GetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                      std::wstring_view default_value, bool expand = false);
bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, std::uint64_t value);
bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, std::wstring_view value);
// Any other integer (int, DWORD, ...) without ambiguity. Up to 32 bits the
// value is taken as a DWORD bit pattern, as Windows stores -1 as 0xFFFFFFFF.
template <typename T, typename = std::enable_if_t<std::is_integral_v<T> &&
                                                  !std::is_same_v<T, std::uint64_t>>>
inline bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name, T value) {
  if constexpr (sizeof(T) <= 4) {
    return SetValue(root, subkey, name,
                    static_cast<std::uint64_t>(static_cast<std::uint32_t>(value)));
  } else {
    return SetValue(root, subkey, name, static_cast<std::uint64_t>(value));
  }
}
inline bool SetValue(HKEY root, std::wstring_view subkey, std::wstring_view name,
                     const wchar_t* value) {
  return SetValue(root, subkey, name, std::wstring_view(value));
}
// With an empty name: whether the key exists.
bool IsExist(HKEY root, std::wstring_view subkey, std::wstring_view name);
// True when the value is gone afterwards (also when it never existed).
bool DeleteValue(HKEY root, std::wstring_view subkey, std::wstring_view name, bool wow64_64 = false);

// Counts the writes and deletions this process made through this interface:
// a value read once and kept can be read again after this process itself
// changed the registry. Writes of other processes are not counted.
std::uint64_t WriteSerial();

}  // namespace base::reg
