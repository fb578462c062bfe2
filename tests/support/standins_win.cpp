// The machine-wide lock of the stand-in helpers: a lock on the whole file.
#include <windows.h>

#include <filesystem>

#include "support/standins.h"

namespace testenv {

MachineLock::MachineLock(const std::string& name) {
  const auto file = std::filesystem::temp_directory_path() / ("quarrion-test-" + name + ".lock");
  const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  OVERLAPPED whole{};
  ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
  lock_ = reinterpret_cast<std::intptr_t>(handle);
}

MachineLock::~MachineLock() {
  // Closing the file releases the lock.
  if (lock_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(lock_));
}

}  // namespace testenv
