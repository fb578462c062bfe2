#include <windows.h>

#include <algorithm>

#include "platform/system_text.h"

namespace platform {

Result<std::string> ReadSystemText(const std::filesystem::path& path, std::size_t limit) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    return Fail(code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code));
  }
  std::string out;
  char buffer[4096];
  ErrorCode error = kErrorSuccess;
  while (out.size() < limit) {
    const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, limit - out.size()));
    DWORD got = 0;
    if (!::ReadFile(file, buffer, want, &got, nullptr)) {
      error = static_cast<ErrorCode>(::GetLastError());
      if (error == ERROR_HANDLE_EOF) error = kErrorSuccess;
      break;
    }
    if (got == 0) break;
    out.append(buffer, got);
  }
  ::CloseHandle(file);
  if (error != 0) return Fail(error);
  return out;
}

}  // namespace platform
