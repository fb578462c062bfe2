#include "platform/diagnostics.h"

#include <deque>
#include <mutex>
#include <utility>

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

}  // namespace platform::diagnostics
