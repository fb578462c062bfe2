// The session on Linux: /proc/self/cmdline for the raw arguments, environ for
// the environment.

#include <stdlib.h>

#include <cerrno>

#include <mutex>
#include <system_error>

#include "platform/error.h"
#include "platform/session.h"
#include "platform/system_text.h"

extern char** environ;

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

bool IsSetAndNotEmpty(const char* name) {
  const char* value = ::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

Result<std::vector<std::string>> RawArguments() {
  Result<std::string> text = ReadSystemText("/proc/self/cmdline");
  if (!text) return Fail(text.error());
  return ParseNulSeparated(*text);
}

Result<std::vector<std::string>> EntryArguments() { return RawArguments(); }

void CaptureStartEnvironment() {
  std::lock_guard guard(EnvironmentMutex());
  auto& recorded = RecordedEnvironment();
  if (recorded) return;
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  recorded = std::move(entries);
}

std::optional<std::vector<std::string>> StartEnvironment() {
  std::lock_guard guard(EnvironmentMutex());
  return RecordedEnvironment();
}

std::string UserDefaultLocaleName() {
  // The value a variable had at start-up; the current environment when the
  // start was not recorded. An empty value counts as unset, as for setlocale.
  const std::optional<std::vector<std::string>> start = StartEnvironment();
  const auto started_with = [&](std::string_view name) -> std::string {
    if (!start) {
      const char* value = ::getenv(std::string(name).c_str());
      return value != nullptr ? value : "";
    }
    for (const std::string& entry : *start) {
      if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
          entry[name.size()] == '=') {
        return entry.substr(name.size() + 1);
      }
    }
    return {};
  };
  // The order setlocale(LC_CTYPE, "") resolves. The user default locale is
  // the locale of the user's text and formats, a setting apart from the
  // language the interface speaks (the UI language, for which LC_MESSAGES
  // stands); LC_CTYPE is the category of the user's text itself.
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    if (std::string value = started_with(name); !value.empty()) return value;
  }
  return {};
}

std::optional<std::string> ReadEnvironmentVariable(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

Result<void> WriteEnvironmentVariable(const char* name, const std::string& value) {
  if (::setenv(name, value.c_str(), 1) != 0) return Fail(FromErrno(errno));
  return {};
}

Result<void> RemoveEnvironmentVariable(const char* name) {
  if (::unsetenv(name) != 0) return Fail(FromErrno(errno));
  return {};
}

DisplayServers AvailableDisplayServers() {
  DisplayServers servers;
  servers.x11 = IsSetAndNotEmpty("DISPLAY");
  servers.wayland = IsSetAndNotEmpty("WAYLAND_DISPLAY");
  return servers;
}

Result<std::filesystem::path> EnsureRuntimeDirectory(const std::filesystem::path& fallback) {
  if (const char* current = ::getenv("XDG_RUNTIME_DIR"); current != nullptr && *current != '\0') {
    return std::filesystem::path(current);
  }
  std::error_code ec;
  std::filesystem::create_directories(fallback, ec);
  if (ec) return Fail(FromErrno(ec.value()));
  std::filesystem::permissions(fallback, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, ec);
  if (ec) return Fail(FromErrno(ec.value()));
  if (Result<void> set = WriteEnvironmentVariable("XDG_RUNTIME_DIR", fallback.string()); !set) {
    return Fail(set.error());
  }
  return fallback;
}

Result<RemoteSessionMetrics> ReadRemoteSessionMetrics() {
  constexpr ErrorCode kErrorNotSupported = 50;
  return Fail(kErrorNotSupported);
}

}  // namespace platform
