#include <dlfcn.h>

#include <mutex>
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

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

Library::Library(Library&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      last_error_(std::move(other.last_error_)) {}

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    last_error_ = std::move(other.last_error_);
  }
  return *this;
}

Library Library::Load(const std::filesystem::path& path, std::string* error) {
  Library library;
  if (path.empty()) {
    library.last_error_ = "empty library path";
  } else {
    std::lock_guard lock(LoaderMutex());
    dlerror();
    library.handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle_ == nullptr) {
      const char* text = dlerror();
      library.last_error_ = text != nullptr ? text : "cannot load " + path.native();
    }
  }
  if (error) *error = library.last_error_;
  return library;
}

void* Library::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

}  // namespace platform
