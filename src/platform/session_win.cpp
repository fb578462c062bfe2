// The session on Windows: the command line the process was given, split by
// the shell's own rules, and the process environment block.
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <mutex>
#include <vector>
#include <system_error>

#include "platform/error.h"
#include "platform/session.h"
#include "platform/text.h"

namespace platform {

namespace {

std::mutex& EnvironmentMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<std::vector<std::string>>& RecordedEnvironment() {
  static std::optional<std::vector<std::string>> recorded;
  return recorded;
}

ErrorCode LastError() {
  const DWORD code = ::GetLastError();
  return code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code);
}

std::optional<std::wstring> ReadWide(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(0);
    const DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      // An empty value is there all the same; a missing one says so.
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.assign(n, L'\0');
  }
}

bool IsSetAndNotEmpty(const wchar_t* name) {
  const auto value = ReadWide(name);
  return value && !value->empty();
}

// The user this process runs as, in SDDL's text form of a SID.
ErrorCode CurrentUserSid(std::wstring* out) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return LastError();
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  ErrorCode error = kErrorSuccess;
  wchar_t* text = nullptr;
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
      !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    error = LastError();
  } else {
    *out = text;
    ::LocalFree(text);
  }
  ::CloseHandle(token);
  return error;
}

// The folder, private to its user: the only entry of its access list gives
// that user everything, and nothing is inherited from above.
ErrorCode MakePrivate(const std::filesystem::path& dir) {
  std::wstring sid;
  if (const ErrorCode error = CurrentUserSid(&sid); error != 0) return error;
  const std::wstring sddl = L"D:P(A;OICI;FA;;;" + sid + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return LastError();
  }
  const BOOL set = ::SetFileSecurityW(dir.c_str(), DACL_SECURITY_INFORMATION, descriptor);
  const ErrorCode error = set ? kErrorSuccess : LastError();
  ::LocalFree(descriptor);
  return error;
}

}  // namespace

namespace {

// This process's command line split as CommandLineToArgvW splits it, each
// argument converted by `narrow`.
template <typename Narrow>
Result<std::vector<std::string>> SplitOwnCommandLine(Narrow narrow) {
  int count = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv == nullptr) return Fail(LastError());
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) out.push_back(narrow(argv[i]));
  ::LocalFree(argv);
  return out;
}

std::string ToAnsiCodePage(const wchar_t* wide) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow.data(), size, nullptr, nullptr);
  narrow.resize(narrow.size() - 1);  // the terminator the size counted
  return narrow;
}

}  // namespace

Result<std::vector<std::string>> RawArguments() {
  return SplitOwnCommandLine([](const wchar_t* wide) { return text::ToUtf8(wide); });
}

Result<std::vector<std::string>> EntryArguments() { return SplitOwnCommandLine(&ToAnsiCodePage); }

void CaptureStartEnvironment() {
  std::lock_guard guard(EnvironmentMutex());
  auto& recorded = RecordedEnvironment();
  if (recorded) return;
  std::vector<std::string> entries;
  if (wchar_t* block = ::GetEnvironmentStringsW(); block != nullptr) {
    // "NAME=value" strings, each ended by a NUL, the block by another.
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
      entries.push_back(text::ToUtf8(entry));
    }
    ::FreeEnvironmentStringsW(block);
  }
  recorded = std::move(entries);
}

std::optional<std::vector<std::string>> StartEnvironment() {
  std::lock_guard guard(EnvironmentMutex());
  return RecordedEnvironment();
}

std::string UserDefaultLocaleName() {
  // The user's own setting ("de-AT"), not the process's thread locale.
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (::GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) <= 0) return {};
  return text::ToUtf8(name);
}

std::optional<std::string> ReadEnvironmentVariable(const char* name) {
  const auto value = ReadWide(text::FromUtf8(name).c_str());
  if (!value) return std::nullopt;
  return text::ToUtf8(*value);
}

Result<void> WriteEnvironmentVariable(const char* name, const std::string& value) {
  // The process block, not the C runtime's copy: an empty value stays set
  // (the runtime's putenv would remove it) and children see the change.
  if (!::SetEnvironmentVariableW(text::FromUtf8(name).c_str(), text::FromUtf8(value).c_str())) {
    return Fail(LastError());
  }
  return {};
}

Result<void> RemoveEnvironmentVariable(const char* name) {
  if (!::SetEnvironmentVariableW(text::FromUtf8(name).c_str(), nullptr) &&
      ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
    return Fail(LastError());
  }
  return {};
}

DisplayServers AvailableDisplayServers() {
  DisplayServers servers;
  servers.x11 = IsSetAndNotEmpty(L"DISPLAY");
  servers.wayland = IsSetAndNotEmpty(L"WAYLAND_DISPLAY");
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (HWINSTA station = ::GetProcessWindowStation();
      station != nullptr &&
      ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
    servers.windows_desktop = (flags.dwFlags & WSF_VISIBLE) != 0;
  }
  return servers;
}

Result<std::filesystem::path> EnsureRuntimeDirectory(const std::filesystem::path& fallback) {
  if (const auto current = ReadWide(L"XDG_RUNTIME_DIR"); current && !current->empty()) {
    return text::PathFromWide(*current);
  }
  std::error_code ec;
  std::filesystem::create_directories(fallback, ec);
  if (ec) {
    return Fail(ec.category() == std::generic_category() ? FromErrno(ec.value())
                                                         : static_cast<ErrorCode>(ec.value()));
  }
  if (!std::filesystem::is_directory(fallback, ec)) return Fail(kErrorDirectory);
  if (const ErrorCode error = MakePrivate(fallback); error != 0) return Fail(error);
  if (Result<void> set = WriteEnvironmentVariable("XDG_RUNTIME_DIR", text::ToUtf8(text::WideFromPath(fallback)));
      !set) {
    return Fail(set.error());
  }
  return fallback;
}

Result<RemoteSessionMetrics> ReadRemoteSessionMetrics() {
  RemoteSessionMetrics metrics;
  metrics.remote_session = ::GetSystemMetrics(SM_REMOTESESSION) != 0;
  metrics.remote_control = ::GetSystemMetrics(SM_REMOTECONTROL) != 0;
  return metrics;
}

}  // namespace platform
