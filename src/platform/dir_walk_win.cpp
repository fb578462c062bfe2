// The walk on Windows: every entry is opened relative to the held directory
// handle (NtCreateFile with a root directory), always with
// FILE_OPEN_REPARSE_POINT, so a symbolic link, junction or mount point is
// opened as itself and never followed. Removal and renaming go through the
// entry's own handle (SetFileInformationByHandle), so what is removed is
// what was opened.
//
// Every open is checked against where the handle really is: the entry's
// resolved path must be the held directory's and the name. A file system
// layer that follows links whatever the flags say (Wine does, for links
// made on the host side) would otherwise hand out the target's handle, and a
// deletion through it would delete the target; such an entry is refused
// with kErrorNotSupported and left alone, link and target both.
#include "platform/dir_walk.h"

#include <windows.h>
#include <winternl.h>
#include <winioctl.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace platform::dir_walk {
namespace {

std::atomic<RemoveFileFunction> g_remove_file{&RealRemoveFile};

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t kListingBuffer = 64 * 1024;
// The reparse tag of junctions and volume mount points (winnt.h has it, but
// not in every header set).
constexpr DWORD kTagMountPoint = 0xA0000003L;

constexpr ErrorCode kErrorNotSupported = 50;

HANDLE Native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                               PVOID, ULONG, FILE_INFORMATION_CLASS, BOOLEAN,
                                               PUNICODE_STRING, BOOLEAN);

// One owner for the entry handles opened on the way (the directory handles
// are DirHandle's).
struct EntryHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  EntryHandle() = default;
  explicit EntryHandle(HANDLE handle) : h(handle) {}
  EntryHandle(const EntryHandle&) = delete;
  EntryHandle& operator=(const EntryHandle&) = delete;
  ~EntryHandle() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
  }
  HANDLE release() { return std::exchange(h, INVALID_HANDLE_VALUE); }
};

// What the walk needs to know of an open entry.
struct Facts {
  DWORD attributes = 0;
  DWORD reparse_tag = 0;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

ErrorCode FromStatus(NTSTATUS status) {
  const ULONG code = ::RtlNtStatusToDosError(status);
  return code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code);
}

ErrorCode LastError() {
  const DWORD code = ::GetLastError();
  return code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code);
}

// Opens `name` below `dir` as the entry itself. A name with a separator or
// a parent step is refused: an entry is one component of this directory.
ErrorCode OpenRelative(HANDLE dir, const std::filesystem::path& name, ACCESS_MASK access,
                       ULONG options, EntryHandle* out) {
  const std::wstring& text = name.native();
  if (text.empty() || text == L"." || text == L".." ||
      text.find_first_of(L"\\/") != std::wstring::npos) {
    return kErrorInvalidParameter;
  }
  if (text.size() * sizeof(wchar_t) > 0xFFF0) return kErrorFilenameExcedRange;
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(text.c_str());
  object_name.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, dir, nullptr);
  IO_STATUS_BLOCK io {};
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS status = ::NtCreateFile(
      &handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr, 0,
      kShareAll, FILE_OPEN,
      options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
          FILE_OPEN_FOR_BACKUP_INTENT,
      nullptr, 0);
  if (status < 0) return FromStatus(status);
  out->h = handle;
  return kErrorSuccess;
}

// The listing's attributes of `name` in `dir`. Asked through a second handle
// of the directory: a name pattern given to a handle stays with it, and the
// held handle's listings must keep seeing every entry.
ErrorCode ListedAttributes(HANDLE dir, const std::wstring& name, DWORD* attributes) {
  EntryHandle again;
  UNICODE_STRING empty {};
  OBJECT_ATTRIBUTES self;
  InitializeObjectAttributes(&self, &empty, 0, dir, nullptr);
  IO_STATUS_BLOCK io {};
  HANDLE handle = INVALID_HANDLE_VALUE;
  NTSTATUS status = ::NtCreateFile(&handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &self, &io, nullptr,
                                   0, kShareAll, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                       FILE_OPEN_FOR_BACKUP_INTENT,
                                   nullptr, 0);
  if (status < 0) return FromStatus(status);
  again.h = handle;
  UNICODE_STRING pattern;
  pattern.Buffer = const_cast<wchar_t*>(name.c_str());
  pattern.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  pattern.MaximumLength = pattern.Length;
  // Room for one entry with the longest name.
  alignas(8) unsigned char buffer[sizeof(FILE_ID_BOTH_DIR_INFO) + 65536];
  status = NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
                                FileIdBothDirectoryInformation, TRUE, &pattern, TRUE);
  if (status < 0) {
    const ErrorCode error = FromStatus(status);
    return error == ERROR_NO_MORE_FILES ? kErrorFileNotFound : error;
  }
  *attributes = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer)->FileAttributes;
  return kErrorSuccess;
}

ErrorCode FactsOf(HANDLE handle, Facts* facts);

// Wildcards would make the listing's answer about another entry.
bool PlainName(const std::wstring& text) {
  return text.find_first_of(L"*?<>\"") == std::wstring::npos;
}

// The path the file system says the handle has, links resolved.
ErrorCode FinalPath(HANDLE handle, std::wstring* out) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                FILE_NAME_NORMALIZED);
    if (n == 0) return LastError();
    if (n < path.size()) {
      path.resize(n);
      *out = std::move(path);
      return kErrorSuccess;
    }
    path.assign(n + 1, L'\0');
  }
  return kErrorGenFailure;
}

// Opens `name` below `dir` as the entry itself, with its facts. The entry's
// resolved path must be the directory's resolved path and the name: a handle
// whose open went through a link names the target instead, and is refused.
ErrorCode OpenEntry(HANDLE dir, const std::filesystem::path& name, ACCESS_MASK access,
                    EntryHandle* out, Facts* facts) {
  if (!PlainName(name.native())) return kErrorInvalidParameter;
  ErrorCode error = OpenRelative(dir, name, access, 0, out);
  if (error != 0) return error;
  if ((error = FactsOf(out->h, facts)) != 0) return error;
  std::wstring parent_path, entry_path;
  if ((error = FinalPath(dir, &parent_path)) != 0 || (error = FinalPath(out->h, &entry_path)) != 0) {
    ::CloseHandle(out->release());
    return error;
  }
  if (parent_path.empty() || parent_path.back() != L'\\') parent_path += L'\\';
  parent_path += name.native();
  if (_wcsicmp(parent_path.c_str(), entry_path.c_str()) != 0) {
    ::CloseHandle(out->release());
    return kErrorNotSupported;
  }
  return kErrorSuccess;
}

ErrorCode FactsOf(HANDLE handle, Facts* facts) {
  BY_HANDLE_FILE_INFORMATION info {};
  if (!::GetFileInformationByHandle(handle, &info)) return LastError();
  facts->attributes = info.dwFileAttributes;
  facts->volume = info.dwVolumeSerialNumber;
  facts->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  facts->reparse_tag = 0;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag {};
    if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
      facts->reparse_tag = tag.ReparseTag;
    }
  }
  return kErrorSuccess;
}

bool IsReparse(const Facts& f) { return (f.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsDirectory(const Facts& f) { return (f.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// A junction whose target is a volume (\??\Volume{...}\) mounts another file
// system there; any other reparse point is a link of some kind.
bool IsVolumeMount(HANDLE handle) {
  auto buffer = std::make_unique<unsigned char[]>(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD returned = 0;
  if (!::DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.get(),
                         MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &returned, nullptr)) {
    return false;
  }
  // REPARSE_DATA_BUFFER's mount-point form: tag, lengths, then the names.
  struct MountPointData {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset;
    WORD substitute_length;
    WORD print_offset;
    WORD print_length;
    WCHAR path[1];
  };
  if (returned < offsetof(MountPointData, path)) return false;
  const auto* data = reinterpret_cast<const MountPointData*>(buffer.get());
  if (data->tag != kTagMountPoint) return false;
  const std::size_t end = offsetof(MountPointData, path) + data->substitute_offset +
                          data->substitute_length;
  if (end > returned) return false;
  const std::wstring_view target(data->path + data->substitute_offset / sizeof(WCHAR),
                                 data->substitute_length / sizeof(WCHAR));
  return target.starts_with(L"\\??\\Volume{");
}

EntryType TypeOf(HANDLE handle, const Facts& f) {
  if (IsReparse(f)) {
    if (f.reparse_tag == kTagMountPoint && IsVolumeMount(handle)) return EntryType::kMountPoint;
    return EntryType::kSymlink;
  }
  return IsDirectory(f) ? EntryType::kDirectory : EntryType::kFile;
}

// A directory that is the root of its volume (a drive, or a volume reached
// through a mount point) is a mount point of its own.
bool IsVolumeRoot(HANDLE handle) {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = ::GetFinalPathNameByHandleW(handle, path, MAX_PATH, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= MAX_PATH) return false;
  std::wstring full(path, n);
  if (full.empty() || (full.back() != L'\\' && full.back() != L'/')) full += L'\\';
  wchar_t volume[MAX_PATH + 1];
  if (!::GetVolumePathNameW(full.c_str(), volume, MAX_PATH)) return false;
  std::wstring root = volume;
  if (root.empty() || root.back() != L'\\') root += L'\\';
  return _wcsicmp(root.c_str(), full.c_str()) == 0;
}

ErrorCode SetDisposition(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition {};
  disposition.DeleteFile = TRUE;
  if (::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                   sizeof(disposition))) {
    return kErrorSuccess;
  }
  return LastError();
}

// Deletes the entry of an open handle. The name goes at once where the file
// system can (POSIX semantics), so a folder is empty for its parent's
// removal even while a walk still holds handles below it; elsewhere it goes
// when the last handle closes. A read-only file refuses deletion on Windows
// (not on POSIX): the attribute is cleared through the same handle.
ErrorCode DeleteThroughHandle(HANDLE handle, const Facts& facts) {
  // FILE_DISPOSITION_INFO_EX and its class (21), which not every header set
  // declares.
  struct {
    DWORD flags;
  } disposition {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                 FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
  if (::SetFileInformationByHandle(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &disposition,
                                   sizeof(disposition))) {
    return kErrorSuccess;
  }
  const DWORD ex_error = ::GetLastError();
  // Only a system or file system without the extended form falls back.
  if (ex_error != ERROR_INVALID_PARAMETER && ex_error != ERROR_NOT_SUPPORTED &&
      ex_error != ERROR_INVALID_FUNCTION && ex_error != ERROR_CALL_NOT_IMPLEMENTED) {
    return static_cast<ErrorCode>(ex_error);
  }
  ErrorCode error = SetDisposition(handle);
  if (error != kErrorAccessDenied || (facts.attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return error;
  }
  FILE_BASIC_INFO basic {};
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) return error;
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic))) return error;
  return SetDisposition(handle);
}

EntryType FromListing(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryType::kSymlink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryType::kDirectory;
  return EntryType::kFile;
}

}  // namespace

void DirHandleTraits::Free(std::intptr_t handle) { ::CloseHandle(Native(handle)); }

Result<DirHandle> DirHandle::Open(const std::filesystem::path& path) {
  // FILE_FLAG_OPEN_REPARSE_POINT: a link in the last component is opened as
  // the link and refused below, never followed.
  HANDLE handle = ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Fail(LastError());
  EntryHandle owned(handle);
  Facts facts;
  if (const ErrorCode error = FactsOf(handle, &facts); error != 0) return Fail(error);
  if (!IsDirectory(facts) || IsReparse(facts)) return Fail(kErrorDirectory);
  // The folder holding it lists the last component as it is.
  const std::filesystem::path name = path.filename();
  if (!name.empty() && name != L"." && name != L".." && PlainName(name.native())) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                     nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
      ::FindClose(find);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Fail(kErrorDirectory);
    }
  }
  return DirHandle(reinterpret_cast<std::intptr_t>(owned.release()));
}

Result<DirHandle> DirHandle::OpenChild(const std::filesystem::path& name,
                                       const EntryInfo* expected) const {
  if (!valid()) return Fail(kErrorInvalidHandle);
  EntryHandle child;
  Facts facts;
  const ErrorCode error = OpenEntry(Native(native()), name, FILE_LIST_DIRECTORY, &child, &facts);
  // A link, whether the open saw it as one or went through it.
  if (error == kErrorNotSupported) return Fail(kErrorDirectory);
  if (error != 0) return Fail(error);
  if (!IsDirectory(facts) || IsReparse(facts)) return Fail(kErrorDirectory);
  if (expected != nullptr && (facts.volume != expected->device || facts.index != expected->inode)) {
    return Fail(kErrorAccessDenied);
  }
  return DirHandle(reinterpret_cast<std::intptr_t>(child.release()));
}

Result<EntryInfo> DirHandle::Identify() const {
  if (!valid()) return Fail(kErrorInvalidHandle);
  Facts facts;
  if (const ErrorCode error = FactsOf(Native(native()), &facts); error != 0) return Fail(error);
  EntryInfo info;
  info.type = IsVolumeRoot(Native(native())) ? EntryType::kMountPoint : EntryType::kDirectory;
  info.device = facts.volume;
  info.inode = facts.index;
  return info;
}

ErrorCode DirHandle::List(const std::function<bool(const Entry&)>& visit) const {
  if (!valid()) return kErrorInvalidHandle;
  HANDLE dir = Native(native());
  const auto buffer = std::make_unique<unsigned char[]>(kListingBuffer);
  // Every listing starts from the beginning, whatever an earlier one read.
  FILE_INFO_BY_HANDLE_CLASS klass = FileIdBothDirectoryRestartInfo;
  listed_ = true;
  for (;;) {
    if (!::GetFileInformationByHandleEx(dir, klass, buffer.get(), kListingBuffer)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_NO_MORE_FILES) return kErrorSuccess;
      return code == 0 ? kErrorGenFailure : static_cast<ErrorCode>(code);
    }
    klass = FileIdBothDirectoryInfo;
    std::size_t offset = 0;
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get() + offset);
      const std::wstring_view file_name(info->FileName, info->FileNameLength / sizeof(WCHAR));
      if (file_name != L"." && file_name != L"..") {
        Entry entry;
        entry.name = std::wstring(file_name);
        entry.type = FromListing(info->FileAttributes);
        if (!visit(entry)) return kErrorSuccess;
      }
      if (info->NextEntryOffset == 0) break;
      offset += info->NextEntryOffset;
    }
  }
}

Result<EntryInfo> DirHandle::Stat(const std::filesystem::path& name) const {
  if (!valid()) return Fail(kErrorInvalidHandle);
  EntryHandle entry;
  Facts facts;
  const ErrorCode error = OpenEntry(Native(native()), name, 0, &entry, &facts);
  if (error == kErrorNotSupported) {
    // A link that cannot be opened as itself: a link all the same, and its
    // target's identity is not the entry's.
    EntryInfo info;
    info.type = EntryType::kSymlink;
    return info;
  }
  if (error != 0) return Fail(error);
  EntryInfo info;
  info.type = TypeOf(entry.h, facts);
  info.device = facts.volume;
  info.inode = facts.index;
  return info;
}

bool DirHandle::Exists(const std::filesystem::path& name) const {
  if (!valid() || !PlainName(name.native())) return false;
  DWORD attributes = 0;
  return ListedAttributes(Native(native()), name.native(), &attributes) == 0;
}

ErrorCode DirHandle::RemoveFile(const std::filesystem::path& name) const {
  if (!valid()) return kErrorInvalidHandle;
  return g_remove_file.load()(*this, name);
}

ErrorCode DirHandle::RemoveSubdirectory(const std::filesystem::path& name) const {
  if (!valid()) return kErrorInvalidHandle;
  EntryHandle entry;
  Facts facts;
  const ErrorCode error =
      OpenEntry(Native(native()), name, DELETE | FILE_WRITE_ATTRIBUTES, &entry, &facts);
  if (error == kErrorNotSupported) return kErrorDirectory;
  if (error != 0) return error;
  switch (TypeOf(entry.h, facts)) {
    case EntryType::kMountPoint:
      return kErrorSharingViolation;
    case EntryType::kDirectory:
      break;
    default:
      return kErrorDirectory;
  }
  return DeleteThroughHandle(entry.h, facts);
}

ErrorCode DirHandle::Rename(const std::filesystem::path& from,
                            const std::filesystem::path& to) const {
  if (!valid()) return kErrorInvalidHandle;
  const std::wstring& target = to.native();
  if (target.empty() || target == L"." || target == L".." ||
      target.find_first_of(L"\\/") != std::wstring::npos || !PlainName(target)) {
    return kErrorInvalidParameter;
  }
  EntryHandle entry;
  Facts facts;
  if (const ErrorCode error = OpenEntry(Native(native()), from, DELETE, &entry, &facts);
      error != 0) {
    return error;
  }
  // The new name is relative to this directory's handle, not a path. Asked
  // of the file system directly: the Win32 wrapper does not pass the root
  // directory on everywhere.
  struct RenameInformation {
    BOOLEAN replace_if_exists;
    HANDLE root_directory;
    ULONG file_name_length;
    WCHAR file_name[1];
  };
  const std::size_t size =
      offsetof(RenameInformation, file_name) + (target.size() + 1) * sizeof(WCHAR);
  auto storage = std::make_unique<unsigned char[]>(size);
  std::memset(storage.get(), 0, size);
  auto* rename = reinterpret_cast<RenameInformation*>(storage.get());
  rename->replace_if_exists = TRUE;
  rename->root_directory = Native(native());
  rename->file_name_length = static_cast<ULONG>(target.size() * sizeof(WCHAR));
  std::memcpy(rename->file_name, target.c_str(), target.size() * sizeof(WCHAR));
  IO_STATUS_BLOCK io {};
  const NTSTATUS status = ::NtSetInformationFile(entry.h, &io, rename, static_cast<ULONG>(size),
                                                 static_cast<FILE_INFORMATION_CLASS>(10));
  return status < 0 ? FromStatus(status) : kErrorSuccess;
}

ErrorCode RealRemoveFile(const DirHandle& dir, const std::filesystem::path& name) {
  if (!dir.valid()) return kErrorInvalidHandle;
  EntryHandle entry;
  Facts facts;
  const ErrorCode error =
      OpenEntry(Native(dir.native()), name, DELETE | FILE_WRITE_ATTRIBUTES, &entry, &facts);
  if (error != 0) return error;
  // A real directory is not a file; a link to one (or a junction) is, and
  // deleting its handle removes the link only.
  if (IsDirectory(facts) && !IsReparse(facts)) return kErrorAccessDenied;
  return DeleteThroughHandle(entry.h, facts);
}

RemoveFileFunction ExchangeRemoveFileFunction(RemoveFileFunction fn) {
  return g_remove_file.exchange(fn != nullptr ? fn : &RealRemoveFile);
}

std::vector<std::wstring> SystemFolders() {
  std::vector<std::wstring> folders;
  auto add = [&folders](std::wstring value) {
    if (value.size() < 4) return;
    folders.push_back(std::move(value));
  };
  wchar_t buffer[MAX_PATH];
  UINT n = ::GetWindowsDirectoryW(buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) add(std::wstring(buffer, n));
  n = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) add(std::wstring(buffer, n));
  for (const wchar_t* name :
       {L"ALLUSERSPROFILE", L"APPDATA", L"CommonProgramFiles", L"CommonProgramFiles(x86)",
        L"CommonProgramW6432", L"ProgramData", L"ProgramFiles", L"ProgramFiles(x86)",
        L"ProgramW6432", L"USERPROFILE"}) {
    // The process block, which is what the session's writes change.
    wchar_t value[MAX_PATH * 2];
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) add(std::wstring(value, length));
  }
  return folders;
}

}  // namespace platform::dir_walk
