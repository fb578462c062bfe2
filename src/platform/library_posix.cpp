#include <dlfcn.h>

#include <mutex>
#include <system_error>
#include <utility>

#include "platform/library.h"

namespace platform {

namespace {

// dlerror() is one piece of state per thread but another thread's dlopen can
// race the read in some C libraries; loading is rare, so serialise it.
std::mutex& LoaderMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void Library::Traits::Free(void* handle) { dlclose(handle); }

Result<Library> Library::Load(const std::filesystem::path& path, std::string* detail) {
  if (detail) detail->clear();
  if (path.empty()) {
    if (detail) *detail = "empty library path";
    return Fail(kErrorInvalidParameter);
  }
  Library library;
  std::string message;
  {
    std::lock_guard lock(LoaderMutex());
    dlerror();
    library.handle_.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library.valid()) {
      const char* text = dlerror();
      message = text != nullptr ? text : "cannot load " + path.native();
    }
  }
  if (library.valid()) return library;
  if (detail) *detail = message;
  // dlopen gives only text; a bare name is looked up by the loader, so only a
  // path is checked for existence.
  std::error_code ec;
  const bool has_directory = path.has_parent_path();
  if (has_directory && !std::filesystem::exists(path, ec)) return Fail(kErrorModNotFound);
  if (!has_directory && message.find("No such file") != std::string::npos) {
    return Fail(kErrorModNotFound);
  }
  return Fail(kErrorBadExeFormat);
}

void* Library::Symbol(const char* name) const {
  if (!valid() || name == nullptr) return nullptr;
  return dlsym(handle_.get(), name);
}

}  // namespace platform
