// Dynamic libraries on Windows: LoadLibraryExW and GetProcAddress.
#include <windows.h>

#include "platform/library.h"
#include "platform/text.h"
#include "platform/win_util_win.h"

namespace platform {

void Library::Traits::Free(void* handle) { ::FreeLibrary(static_cast<HMODULE>(handle)); }

Result<Library> Library::Load(const std::filesystem::path& path, std::string* detail) {
  if (detail) detail->clear();
  if (path.empty()) {
    if (detail) *detail = "empty library path";
    return Fail(kErrorInvalidParameter);
  }
  const std::wstring wide = text::WideFromPath(path);
  // A library given by path finds its own dependencies beside it; a bare
  // name is searched for the usual way.
  const DWORD flags = path.has_parent_path() && path.is_absolute()
                          ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                          : 0;
  // No "cannot load" box for a damaged file: the failure is a value.
  const UINT old_mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = ::LoadLibraryExW(wide.c_str(), nullptr, flags);
  const DWORD error = module == nullptr ? ::GetLastError() : 0;
  ::SetErrorMode(old_mode);
  Library library;
  if (module != nullptr) {
    library.handle_.reset(module);
    return library;
  }
  if (detail) *detail = "LoadLibraryExW(" + text::ToUtf8(wide) + ") failed: error " +
                        std::to_string(error);
  switch (error) {
    case ERROR_MOD_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Fail(kErrorModNotFound);
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_INVALID_EXE_SIGNATURE:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return Fail(kErrorBadExeFormat);
    default:
      return Fail(error != 0 ? error : kErrorBadExeFormat);
  }
}

void* Library::Symbol(const char* name) const {
  if (!valid() || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_.get()), name));
}

}  // namespace platform
