// Dynamic libraries: load by path, look up symbols. Failure is a value.
#pragma once

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/result.h"
#include "platform/scoped_generic.h"

namespace platform {

inline constexpr ErrorCode kErrorModNotFound = 126;

class Library {
 public:
  Library() = default;

  // The library, or: 87 for an empty path, 126 when the file is missing,
  // 193 when it is no library this process can load. `detail` (if given)
  // receives the loader's own message on failure, empty on success.
  static Result<Library> Load(const std::filesystem::path& path, std::string* detail = nullptr);
  bool valid() const { return handle_.is_valid(); }
  void* Symbol(const char* name) const;  // null when absent

 private:
  // Module handles are pointers on every OS; the backend frees them.
  struct Traits {
    static void* InvalidValue() { return nullptr; }
    static void Free(void* handle);
  };
  ScopedGeneric<void*, Traits> handle_;
};

}  // namespace platform
