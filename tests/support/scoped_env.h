// Sets (or, with nullopt, unsets) one environment variable for a scope and
// puts back what was there before. Children started meanwhile inherit it.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace testenv {

// Sets (a value) or removes (nullopt) one variable of this process. On
// Windows the C library's copy and the process's own block both change, so
// getenv and the children see the same.
inline void SetVariable(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  ::_putenv_s(name, value ? value->c_str() : "");
#else
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name)) previous_ = old;
    SetVariable(name, value);
  }
  ~ScopedEnv() { SetVariable(name_.c_str(), previous_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace testenv
