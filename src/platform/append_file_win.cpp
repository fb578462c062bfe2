// Append-only files on Windows: FILE_APPEND_DATA without FILE_WRITE_DATA,
// so the system puts every write at the end. Not every implementation makes
// that atomic against other handles (Wine finds the end and writes in two
// steps), so each append also holds an exclusive lock on one byte far past
// any real data, which every appender of the file takes. A reparse point
// standing at the name is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT)
// and refused, never written through.
#include <windows.h>

#include "platform/append_file.h"
#include "platform/text.h"
#include "platform/win_util_win.h"

namespace platform {

namespace {

// The appenders' lock: a byte no file reaches, so readers are never held up.
OVERLAPPED LockPlace() {
  OVERLAPPED place{};
  place.Offset = 0xFFFFFFFEu;
  place.OffsetHigh = 0x7FFFFFFFu;
  return place;
}

}  // namespace

void AppendFile::Traits::Free(Native handle) {
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

Result<AppendFile> AppendFile::Open(const std::filesystem::path& path) {
  const std::wstring wide = text::WideFromPath(path);
  // Reading is asked for only because byte-range locks need it.
  HANDLE handle = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Fail(win::LastError());
  AppendFile file;
  file.handle_.reset(reinterpret_cast<Native>(handle));
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return Fail(win::LastError());
  }
  if ((tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return Fail(kErrorAccessDenied);
  }
  return file;
}

Result<void> AppendFile::Append(std::string_view text) {
  if (!is_open()) return Fail(kErrorInvalidHandle);
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_.get());
  OVERLAPPED place = LockPlace();
  if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place)) {
    return Fail(win::LastError());
  }
  const char* data = text.data();
  std::size_t left = text.size();
  ErrorCode error = kErrorSuccess;
  // One write takes the whole text; the loop only covers a full disk's
  // short write.
  while (left > 0 && error == kErrorSuccess) {
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(handle, data, chunk, &written, nullptr)) {
      error = win::LastError();
    } else if (written == 0) {
      error = kErrorDiskFull;
    }
    data += written;
    left -= written;
  }
  place = LockPlace();
  ::UnlockFileEx(handle, 0, 1, 0, &place);
  if (error != kErrorSuccess) return Fail(error);
  return {};
}

Result<void> AppendFile::SyncAndClose() {
  if (!is_open()) return {};
  const BOOL synced = ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle_.get()));
  const ErrorCode error = synced ? kErrorSuccess : win::LastError();
  handle_.reset();
  if (!synced) return Fail(error);
  return {};
}

}  // namespace platform
