// The registry on Windows: the real one, in the view the caller names, with
// the value types as stored. Read-modify-write calls that must be atomic
// across processes (appending to a multi-string, creating a value only when
// absent) hold a named mutex of the value for their span.
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/win_util_win.h"

namespace platform::registry {

namespace {

std::mutex g_mutex;
std::filesystem::path g_directory;

HKEY RootKey(Root root) { return root == Root::kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

REGSAM ViewFlag(View view) {
  switch (view) {
    case View::k64: return KEY_WOW64_64KEY;
    case View::k32: return KEY_WOW64_32KEY;
    case View::kDefault: break;
  }
  return 0;
}

// Leading, trailing and doubled separators carry no meaning.
std::wstring NormalKey(std::wstring_view subkey) {
  std::wstring key;
  for (wchar_t c : subkey) {
    if (c == L'\\' && (key.empty() || key.back() == L'\\')) continue;
    key.push_back(c);
  }
  if (!key.empty() && key.back() == L'\\') key.pop_back();
  return key;
}

struct KeyTraits {
  static HKEY InvalidValue() { return nullptr; }
  static void Free(HKEY key) { ::RegCloseKey(key); }
};
using ScopedKey = ScopedGeneric<HKEY, KeyTraits>;

// Opens an existing key; nullopt (not an error) when it is not there.
Result<std::optional<ScopedKey>> OpenKey(Root root, std::wstring_view subkey, REGSAM access,
                                         View view) {
  HKEY key = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(RootKey(root), NormalKey(subkey).c_str(), 0,
                                         access | ViewFlag(view), &key);
  if (status == ERROR_FILE_NOT_FOUND) return std::optional<ScopedKey>();
  if (status != ERROR_SUCCESS) return Fail(static_cast<ErrorCode>(status));
  return std::optional<ScopedKey>(ScopedKey(key));
}

// Opens a key for writing, creating it and its ancestors.
Result<ScopedKey> CreateKey(Root root, std::wstring_view subkey, View view) {
  HKEY key = nullptr;
  const LSTATUS status =
      ::RegCreateKeyExW(RootKey(root), NormalKey(subkey).c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | ViewFlag(view), nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Fail(static_cast<ErrorCode>(status));
  return ScopedKey(key);
}

struct Raw {
  DWORD type = 0;
  std::vector<BYTE> data;
};

// A value's type and bytes; nullopt when the key or the value is absent.
Result<std::optional<Raw>> ReadRaw(HKEY key, std::wstring_view name) {
  const std::wstring value_name(name);
  Raw raw;
  // The size may grow between the two calls; asked again until it fits.
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD size = static_cast<DWORD>(raw.data.size());
    const LSTATUS status = ::RegQueryValueExW(key, value_name.c_str(), nullptr, &raw.type,
                                              raw.data.empty() ? nullptr : raw.data.data(), &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::optional<Raw>();
    if (status == ERROR_SUCCESS && (!raw.data.empty() || size == 0)) {
      raw.data.resize(size);
      return std::optional<Raw>(std::move(raw));
    }
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
      return Fail(static_cast<ErrorCode>(status));
    }
    raw.data.resize(size + sizeof(wchar_t));
  }
  return Fail(kErrorGenFailure);
}

Result<std::optional<Raw>> ReadRaw(Root root, std::wstring_view subkey, std::wstring_view name,
                                   View view) {
  Result<std::optional<ScopedKey>> key = OpenKey(root, subkey, KEY_QUERY_VALUE, view);
  if (!key) return Fail(key.error());
  if (!*key) return std::optional<Raw>();
  return ReadRaw((*key)->get(), name);
}

std::wstring TextOf(const std::vector<BYTE>& data) {
  std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
  // Stored with its terminator, or sometimes without.
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

// Each item with its terminator, then one more: empty items are kept.
std::vector<wchar_t> EncodeMulti(const std::vector<std::wstring>& items) {
  std::vector<wchar_t> units;
  for (const std::wstring& item : items) {
    units.insert(units.end(), item.begin(), item.end());
    units.push_back(L'\0');
  }
  units.push_back(L'\0');
  return units;
}

std::vector<std::wstring> DecodeMulti(const std::vector<BYTE>& data) {
  std::wstring units(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
  // The list's closing terminator.
  if (!units.empty() && units.back() == L'\0') units.pop_back();
  std::vector<std::wstring> items;
  std::size_t at = 0;
  while (at < units.size()) {
    std::size_t end = units.find(L'\0', at);
    if (end == std::wstring::npos) end = units.size();
    items.emplace_back(units.substr(at, end - at));
    at = end + 1;
  }
  return items;
}

ErrorCode SetRaw(Root root, std::wstring_view subkey, std::wstring_view name, DWORD type,
                 const void* data, std::size_t size, View view) {
  Result<ScopedKey> key = CreateKey(root, subkey, view);
  if (!key) return key.error();
  const std::wstring value_name(name);
  const LSTATUS status = ::RegSetValueExW(key->get(), value_name.c_str(), 0, type,
                                          static_cast<const BYTE*>(data), static_cast<DWORD>(size));
  return static_cast<ErrorCode>(status);
}

// Serialises one value's read-modify-write across the processes of this
// session.
class ValueLock {
 public:
  ValueLock(Root root, std::wstring_view subkey, std::wstring_view name, View view) {
    std::wstring id = std::to_wstring(static_cast<int>(root)) + L"|" +
                      std::to_wstring(static_cast<int>(view)) + L"|" +
                      text::ToLower(NormalKey(subkey)) + L"|" + text::ToLower(name);
    const std::size_t hash = std::hash<std::wstring>()(id);
    const std::wstring mutex_name = L"Local\\platform-registry-" + std::to_wstring(hash);
    mutex_.reset(::CreateMutexW(nullptr, FALSE, mutex_name.c_str()));
    if (mutex_) {
      const DWORD waited = ::WaitForSingleObject(mutex_.get(), INFINITE);
      held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
  }
  ~ValueLock() {
    if (held_) ::ReleaseMutex(mutex_.get());
  }
  ValueLock(const ValueLock&) = delete;
  ValueLock& operator=(const ValueLock&) = delete;
  bool held() const { return held_; }

 private:
  win::ScopedHandle mutex_;
  bool held_ = false;
};

}  // namespace

void SetStorageDirectory(const std::filesystem::path& directory) {
  std::lock_guard lock(g_mutex);
  g_directory = directory;
}

std::filesystem::path StorageDirectory() {
  std::lock_guard lock(g_mutex);
  return g_directory;
}

Result<std::optional<Value>> Read(Root root, std::wstring_view subkey, std::wstring_view name,
                                  View view) {
  Result<std::optional<Raw>> raw = ReadRaw(root, subkey, name, view);
  if (!raw) return Fail(raw.error());
  if (!*raw) return std::optional<Value>();
  const Raw& value = **raw;
  switch (value.type) {
    case REG_DWORD:
      if (value.data.size() < sizeof(std::uint32_t)) return Fail(kErrorUnsupportedType);
      return std::optional<Value>(*reinterpret_cast<const std::uint32_t*>(value.data.data()));
    case REG_QWORD:
      if (value.data.size() < sizeof(std::uint64_t)) return Fail(kErrorUnsupportedType);
      return std::optional<Value>(*reinterpret_cast<const std::uint64_t*>(value.data.data()));
    case REG_SZ:
    case REG_EXPAND_SZ:
      return std::optional<Value>(TextOf(value.data));
    default:
      return Fail(kErrorUnsupportedType);
  }
}

ErrorCode WriteDword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint32_t v,
                     View view) {
  return SetRaw(root, subkey, name, REG_DWORD, &v, sizeof v, view);
}

ErrorCode WriteQword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint64_t v,
                     View view) {
  return SetRaw(root, subkey, name, REG_QWORD, &v, sizeof v, view);
}

ErrorCode WriteString(Root root, std::wstring_view subkey, std::wstring_view name,
                      std::wstring_view v, View view) {
  const std::wstring value(v);
  return SetRaw(root, subkey, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t),
                view);
}

ErrorCode WriteMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                           const std::vector<std::wstring>& v, View view) {
  const std::vector<wchar_t> units = EncodeMulti(v);
  return SetRaw(root, subkey, name, REG_MULTI_SZ, units.data(), units.size() * sizeof(wchar_t),
                view);
}

Result<std::optional<std::vector<std::wstring>>> ReadMultiString(Root root,
                                                                 std::wstring_view subkey,
                                                                 std::wstring_view name,
                                                                 View view) {
  Result<std::optional<Raw>> raw = ReadRaw(root, subkey, name, view);
  if (!raw) return Fail(raw.error());
  if (!*raw) return std::optional<std::vector<std::wstring>>();
  if ((*raw)->type != REG_MULTI_SZ) return Fail(kErrorUnsupportedType);
  return std::optional<std::vector<std::wstring>>(DecodeMulti((*raw)->data));
}

ErrorCode AppendMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                            const std::vector<std::wstring>& items, View view) {
  ValueLock lock(root, subkey, name, view);
  if (!lock.held()) return win::LastError();
  Result<std::optional<Raw>> raw = ReadRaw(root, subkey, name, view);
  if (!raw) return raw.error();
  std::vector<std::wstring> all;
  if (*raw && (*raw)->type == REG_MULTI_SZ) all = DecodeMulti((*raw)->data);
  all.insert(all.end(), items.begin(), items.end());
  return WriteMultiString(root, subkey, name, all, view);
}

Result<std::wstring> CreateStringIfAbsent(Root root, std::wstring_view subkey,
                                          std::wstring_view name, std::wstring_view value,
                                          View view) {
  ValueLock lock(root, subkey, name, view);
  if (!lock.held()) return Fail(win::LastError());
  Result<std::optional<Raw>> raw = ReadRaw(root, subkey, name, view);
  if (!raw) return Fail(raw.error());
  if (*raw && ((*raw)->type == REG_SZ || (*raw)->type == REG_EXPAND_SZ)) {
    std::wstring existing = TextOf((*raw)->data);
    if (!existing.empty()) return existing;
  }
  const ErrorCode written = WriteString(root, subkey, name, value, view);
  if (written != kErrorSuccess) return Fail(written);
  return std::wstring(value);
}

Result<std::optional<std::uint32_t>> ValueType(Root root, std::wstring_view subkey,
                                               std::wstring_view name, View view) {
  Result<std::optional<Raw>> raw = ReadRaw(root, subkey, name, view);
  if (!raw) return Fail(raw.error());
  if (!*raw) return std::optional<std::uint32_t>();
  return std::optional<std::uint32_t>((*raw)->type);
}

ErrorCode DeleteValue(Root root, std::wstring_view subkey, std::wstring_view name, View view) {
  Result<std::optional<ScopedKey>> key = OpenKey(root, subkey, KEY_SET_VALUE, view);
  if (!key) return key.error();
  if (!*key) return kErrorFileNotFound;
  const std::wstring value_name(name);
  return static_cast<ErrorCode>(::RegDeleteValueW((*key)->get(), value_name.c_str()));
}

ErrorCode DeleteKey(Root root, std::wstring_view subkey, View view) {
  const std::wstring key_name = NormalKey(subkey);
  if (key_name.empty()) return kErrorAccessDenied;
  Result<std::optional<ScopedKey>> key =
      OpenKey(root, key_name, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE,
              view);
  if (!key) return key.error();
  if (!*key) return kErrorFileNotFound;
  // Subkeys and values first; then the key itself, in the same view.
  const LSTATUS emptied = ::RegDeleteTreeW((*key)->get(), nullptr);
  if (emptied != ERROR_SUCCESS) return static_cast<ErrorCode>(emptied);
  key->reset();
  return static_cast<ErrorCode>(
      ::RegDeleteKeyExW(RootKey(root), key_name.c_str(), ViewFlag(view), 0));
}

bool ValueExists(Root root, std::wstring_view subkey, std::wstring_view name, View view) {
  Result<std::optional<Raw>> raw = ReadRaw(root, subkey, name, view);
  return raw && raw->has_value();
}

bool KeyExists(Root root, std::wstring_view subkey, View view) {
  Result<std::optional<ScopedKey>> key = OpenKey(root, subkey, KEY_QUERY_VALUE, view);
  return key && key->has_value();
}

}  // namespace platform::registry
