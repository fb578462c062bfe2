// Registry. On POSIX an emulation of the Windows registry in SQLite: one file
// per root under a directory given once per process, keys and value names
// compared case-insensitively, typed values. Several processes share it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/error.h"

namespace platform::registry {

enum class Root { kCurrentUser, kLocalMachine };

// Where the emulated roots live (ignored by a native backend). Must be set
// before the first access; the base library sets it from the product home.
void SetStorageDirectory(const std::filesystem::path& directory);
std::filesystem::path StorageDirectory();

using Value = std::variant<std::uint32_t, std::uint64_t, std::wstring>;

// Reads a value; std::nullopt when the key or value is absent or unreadable.
std::optional<Value> Read(Root root, std::wstring_view subkey, std::wstring_view name);
ErrorCode WriteDword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint32_t v);
ErrorCode WriteQword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint64_t v);
ErrorCode WriteString(Root root, std::wstring_view subkey, std::wstring_view name, std::wstring_view v);
ErrorCode WriteMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                           const std::vector<std::wstring>& v);
std::optional<std::vector<std::wstring>> ReadMultiString(Root root, std::wstring_view subkey,
                                                         std::wstring_view name);
ErrorCode DeleteValue(Root root, std::wstring_view subkey, std::wstring_view name);
// Deletes the key, its values and its subkeys.
ErrorCode DeleteKey(Root root, std::wstring_view subkey);
bool ValueExists(Root root, std::wstring_view subkey, std::wstring_view name);
bool KeyExists(Root root, std::wstring_view subkey);

}  // namespace platform::registry
