// Collects the notes of platform::diagnostics for a scope (the sink is
// process-wide, so one capture at a time).
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diagnostics.h"

namespace testenv {

class NoteCapture {
 public:
  NoteCapture() {
    previous_ = platform::diagnostics::SetSink(&Collect);
    std::lock_guard lock(Mutex());
    Notes().clear();  // notes kept from before the capture are not ours
  }
  ~NoteCapture() { platform::diagnostics::SetSink(previous_); }
  NoteCapture(const NoteCapture&) = delete;
  NoteCapture& operator=(const NoteCapture&) = delete;

  std::vector<std::string> notes() const {
    std::lock_guard lock(Mutex());
    return Notes();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Notes() {
    static std::vector<std::string> notes;
    return notes;
  }
  static void Collect(std::string_view note) {
    std::lock_guard lock(Mutex());
    Notes().emplace_back(note);
  }
  platform::diagnostics::Sink previous_ = nullptr;
};

}  // namespace testenv
