// Collects the texts given to the debugger output for a scope.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diagnostics.h"

namespace testenv {

class DebuggerCapture {
 public:
  DebuggerCapture() {
    previous_ = platform::diagnostics::SetDebuggerListener(&Collect);
    std::lock_guard lock(Mutex());
    Texts().clear();
  }
  ~DebuggerCapture() { platform::diagnostics::SetDebuggerListener(previous_); }
  DebuggerCapture(const DebuggerCapture&) = delete;
  DebuggerCapture& operator=(const DebuggerCapture&) = delete;

  std::vector<std::string> texts() const {
    std::lock_guard lock(Mutex());
    return Texts();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static void Collect(std::string_view text) {
    std::lock_guard lock(Mutex());
    Texts().emplace_back(text);
  }
  platform::diagnostics::DebuggerListener previous_ = nullptr;
};

}  // namespace testenv
