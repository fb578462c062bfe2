// Dynamic libraries: load by path, look up symbols. Failure is a value.
#pragma once

#include <filesystem>
#include <string>

#include "platform/error.h"

namespace platform {

class Library {
 public:
  Library() = default;
  ~Library();
  Library(Library&& other) noexcept;
  Library& operator=(Library&& other) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Empty library and *error/last_error() set on failure.
  static Library Load(const std::filesystem::path& path, std::string* error = nullptr);
  bool valid() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;  // null when absent
  // Why the last Load that produced this object failed; empty when it loaded.
  const std::string& last_error() const { return last_error_; }

 private:
  void* handle_ = nullptr;
  std::string last_error_;
};

}  // namespace platform
