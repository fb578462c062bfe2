// File facilities on Windows: delete-at-reboot through the system's own
// MoveFileExW, and the replace-without-following writer.
#include <windows.h>

#include <random>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/win_util_win.h"

namespace platform::files {

namespace {

// Removes the open temporary file through its handle, so a name put there
// by someone else meanwhile is never what goes.
void DiscardOpenFile(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

bool IsPlainName(const std::filesystem::path& name) {
  const std::wstring text = name.native();
  return !text.empty() && text != L"." && text != L".." && !name.has_parent_path() &&
         !name.has_root_path() && text.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

ErrorCode DeleteAtReboot(const std::filesystem::path& path) {
  if (path.empty()) return kErrorInvalidParameter;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return kErrorInvalidParameter;
  const std::wstring wide = text::WideFromPath(absolute.lexically_normal());
  if (!::MoveFileExW(wide.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return win::LastError();
  return kErrorSuccess;
}

Result<void> ReplaceWholeFile(const std::filesystem::path& directory,
                         const std::filesystem::path& file_name, std::string_view contents) {
  if (!IsPlainName(file_name)) return Fail(kErrorInvalidParameter);
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::absolute(directory, ec);
  if (ec) return Fail(kErrorInvalidParameter);
  const std::wstring folder_text = text::WideFromPath(folder.lexically_normal());
  // Held without delete sharing for the whole write: the folder cannot be
  // renamed away or swapped for another under the name meanwhile.
  win::ScopedHandle held(::CreateFileW(folder_text.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (held.get() == INVALID_HANDLE_VALUE) return Fail(win::LastError());
  BY_HANDLE_FILE_INFORMATION folder_info{};
  if (!::GetFileInformationByHandle(held.get(), &folder_info)) return Fail(win::LastError());
  if ((folder_info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return Fail(kErrorDirectory);
  }

  const std::wstring target = folder_text + L"\\" + file_name.native();
  std::random_device seed;
  HANDLE temp = INVALID_HANDLE_VALUE;
  std::wstring temp_name;
  for (int attempt = 0; attempt < 16 && temp == INVALID_HANDLE_VALUE; ++attempt) {
    temp_name = folder_text + L"\\." + file_name.native() + L"." + std::to_wstring(seed()) +
                L".tmp";
    // CREATE_NEW never opens what stands at the name, a link included.
    temp = ::CreateFileW(temp_name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return Fail(win::LastError());
    }
  }
  if (temp == INVALID_HANDLE_VALUE) return Fail(kErrorFileExists);
  win::ScopedHandle file(temp);

  const char* data = contents.data();
  std::size_t left = contents.size();
  while (left > 0) {
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file.get(), data, chunk, &written, nullptr) || written == 0) {
      const ErrorCode error = written == 0 && ::GetLastError() == 0 ? kErrorDiskFull
                                                                    : win::LastError();
      DiscardOpenFile(file.get());
      return Fail(error);
    }
    data += written;
    left -= written;
  }
  if (!::FlushFileBuffers(file.get())) {
    const ErrorCode error = win::LastError();
    DiscardOpenFile(file.get());
    return Fail(error);
  }

  // The complete file takes the target's directory entry: whatever stood
  // there (a file, a link, a reparse point) is replaced as an entry.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), rename->FileName);
  if (!::SetFileInformationByHandle(file.get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
    const ErrorCode error = win::LastError();
    DiscardOpenFile(file.get());
    return Fail(error);
  }
  return {};
}

Result<std::filesystem::path> ResolveLinks(const std::filesystem::path& path) {
  if (path.empty()) return Fail(kErrorInvalidParameter);
  std::error_code ec;
  std::filesystem::path existing = std::filesystem::absolute(path, ec).lexically_normal();
  if (ec) return Fail(kErrorInvalidParameter);
  if (!existing.has_filename() && existing.has_relative_path()) existing = existing.parent_path();
  // The part that does not exist yet is kept as written, from the nearest
  // existing folder on.
  std::filesystem::path rest;
  for (;;) {
    // No access asked and backup semantics: folders open too, and only the
    // name is read.
    win::ScopedHandle handle(::CreateFileW(existing.c_str(), 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    if (handle.get() != INVALID_HANDLE_VALUE) {
      std::wstring final_path;
      if (const ErrorCode error = win::FinalPath(handle.get(), &final_path); error != 0) {
        return Fail(error);
      }
      // "\\?\C:\x" is "C:\x", "\\?\UNC\server\share" is "\\server\share".
      if (final_path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        final_path = L"\\\\" + final_path.substr(8);
      } else if (final_path.rfind(L"\\\\?\\", 0) == 0) {
        final_path = final_path.substr(4);
      }
      const std::filesystem::path resolved = text::PathFromWide(final_path);
      return rest.empty() ? resolved : (resolved / rest).lexically_normal();
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return Fail(win::LastError());
    if (!existing.has_relative_path()) {
      return rest.empty() ? existing : (existing / rest).lexically_normal();
    }
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
}

// NTFS journals the rename through the file's handle itself; there is no
// folder sync to gather.
DirectorySyncBatch::DirectorySyncBatch() : outermost_(false) {}
DirectorySyncBatch::~DirectorySyncBatch() = default;

}  // namespace platform::files
