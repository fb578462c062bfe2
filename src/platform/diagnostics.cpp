#include "platform/diagnostics.h"

#include <atomic>
#include <charconv>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/text.h"

namespace platform::diagnostics {
namespace {

// Enough for every note of a start-up; a flood drops the oldest and says so.
constexpr std::size_t kKeptLimit = 64;

struct State {
  std::mutex mutex;
  Sink sink = nullptr;
  std::deque<std::string> kept;
  std::size_t dropped = 0;
};

State& Shared() {
  static State* state = new State;  // notes may come from threads still running at exit
  return *state;
}

}  // namespace

Sink SetSink(Sink sink) {
  State& state = Shared();
  std::deque<std::string> kept;
  std::size_t dropped = 0;
  Sink previous;
  {
    std::lock_guard lock(state.mutex);
    previous = state.sink;
    state.sink = sink;
    if (sink != nullptr) {
      kept.swap(state.kept);
      dropped = std::exchange(state.dropped, 0);
    }
  }
  if (sink != nullptr) {
    if (dropped > 0) {
      sink(std::to_string(dropped) + " earlier platform notes were dropped (too many before the log ran)");
    }
    for (const std::string& note : kept) sink(note);
  }
  return previous;
}

void Note(std::string note) {
  State& state = Shared();
  Sink sink;
  {
    std::lock_guard lock(state.mutex);
    sink = state.sink;
    if (sink == nullptr) {
      if (state.kept.size() >= kKeptLimit) {
        state.kept.pop_front();
        ++state.dropped;
      }
      state.kept.push_back(std::move(note));
      return;
    }
  }
  sink(note);
}

namespace {
std::atomic<DebuggerListener> g_debugger_listener{nullptr};
}  // namespace

void DebuggerOutput(std::string_view utf8) {
  if (const DebuggerListener listener = g_debugger_listener.load()) listener(utf8);
  backend::WriteDebuggerText(utf8);
}

void DebuggerOutput(std::wstring_view text) { DebuggerOutput(text::ToUtf8(text)); }

DebuggerListener SetDebuggerListener(DebuggerListener listener) {
  return g_debugger_listener.exchange(listener);
}

std::optional<unsigned long> ParseTracerPid(std::string_view status_text) {
  constexpr std::string_view kLabel = "TracerPid:";
  std::size_t start = 0;
  while (start < status_text.size()) {
    std::size_t end = status_text.find('\n', start);
    if (end == std::string_view::npos) end = status_text.size();
    std::string_view line = status_text.substr(start, end - start);
    start = end + 1;
    if (line.substr(0, kLabel.size()) != kLabel) continue;
    line.remove_prefix(kLabel.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    unsigned long pid = 0;
    const auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
    if (error != std::errc() || rest == line.data()) return std::nullopt;
    return pid;
  }
  return std::nullopt;
}

}  // namespace platform::diagnostics
