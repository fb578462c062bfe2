// Registry. On POSIX an emulation of the Windows registry in SQLite: one file
// per root (HKCU.db, HKLM.db) under a storage directory, keys and value names
// compared case-insensitively (the first spelling is kept for display), typed
// values with the Windows type numbers. Several processes share the files
// (write-ahead log, busy time-out); every call is thread-safe. A root file
// that is not a database is moved aside as "<name>.corrupt" and recreated;
// that, and a root file that cannot be opened at all, is told to
// platform::diagnostics (the log).
//
// Subkeys are backslash-separated; leading, trailing and doubled separators
// are ignored. Writing a value creates its key and the key's ancestors, as
// RegCreateKeyEx does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/result.h"

namespace platform::registry {

enum class Root { kCurrentUser, kLocalMachine };

// Where the emulated roots live (ignored by a native backend). Must be set
// before the first access (until then, and after setting an empty path,
// every access fails with 3); the base library sets it from the product
// home. Setting it again closes the open files, so the next access uses the
// new directory.
void SetStorageDirectory(const std::filesystem::path& directory);
std::filesystem::path StorageDirectory();

using Value = std::variant<std::uint32_t, std::uint64_t, std::wstring>;

// The registry view a call works in on 64-bit Windows: the process's own,
// the 64-bit one (KEY_WOW64_64KEY) or the 32-bit one (KEY_WOW64_32KEY). The
// emulation has a single view and takes every call to it.
enum class View { kDefault, k64, k32 };

// Windows value type numbers, as stored.
inline constexpr std::uint32_t kTypeString = 1;       // REG_SZ
inline constexpr std::uint32_t kTypeDword = 4;        // REG_DWORD
inline constexpr std::uint32_t kTypeMultiString = 7;  // REG_MULTI_SZ
inline constexpr std::uint32_t kTypeQword = 11;       // REG_QWORD

// Reads a value: nullopt when the key or value is absent; an error when the
// registry cannot be read (never taken for "absent"). A multi-string is read
// with ReadMultiString only: here it is 1630 (unsupported type).
Result<std::optional<Value>> Read(Root root, std::wstring_view subkey, std::wstring_view name,
                                  View view = View::kDefault);
ErrorCode WriteDword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint32_t v,
                     View view = View::kDefault);
ErrorCode WriteQword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint64_t v,
                     View view = View::kDefault);
ErrorCode WriteString(Root root, std::wstring_view subkey, std::wstring_view name,
                      std::wstring_view v, View view = View::kDefault);
ErrorCode WriteMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                           const std::vector<std::wstring>& v, View view = View::kDefault);
// Empty strings inside a multi-string are kept (PendingFileRenameOperations
// relies on them). nullopt when absent, 1630 when of another type.
Result<std::optional<std::vector<std::wstring>>> ReadMultiString(Root root,
                                                                 std::wstring_view subkey,
                                                                 std::wstring_view name,
                                                                 View view = View::kDefault);
// Appends `items` to a multi-string value (created when absent) in one
// transaction, so concurrent appenders lose nothing. A value of another type
// is replaced.
ErrorCode AppendMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                            const std::vector<std::wstring>& items, View view = View::kDefault);
// Writes `value` only when the value does not exist yet, atomically across
// processes, and returns what the registry holds afterwards (the existing
// string, or `value`). An existing value that is not a non-empty string is
// replaced.
Result<std::wstring> CreateStringIfAbsent(Root root, std::wstring_view subkey,
                                          std::wstring_view name, std::wstring_view value,
                                          View view = View::kDefault);
// Type number of a value; nullopt when absent.
Result<std::optional<std::uint32_t>> ValueType(Root root, std::wstring_view subkey,
                                               std::wstring_view name, View view = View::kDefault);
// 2 when the value does not exist.
ErrorCode DeleteValue(Root root, std::wstring_view subkey, std::wstring_view name,
                      View view = View::kDefault);
// Deletes the key, its values and its subkeys. 2 when the key does not exist;
// the root itself (empty subkey) cannot be deleted (5).
ErrorCode DeleteKey(Root root, std::wstring_view subkey, View view = View::kDefault);
// False also when the registry cannot be read.
bool ValueExists(Root root, std::wstring_view subkey, std::wstring_view name,
                 View view = View::kDefault);
bool KeyExists(Root root, std::wstring_view subkey, View view = View::kDefault);

}  // namespace platform::registry
