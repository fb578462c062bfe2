// The waits of the update flow in one place. The defaults are the product's;
// a test shortens them for its scope instead of waiting them out.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kHolderSearchLimit = 2000;

struct Deadlines {
  // The forced quit of the emulator: how long it may take to leave after the
  // quit command before it is terminated.
  std::uint32_t forced_quit_ms = 15000;
  // The bulk kill's wait for each ended process, and the bounded wait for a
  // started child's exit code.
  std::uint32_t bounded_wait_ms = 5000;
  // One slice of waiting for a process to end; the predicate is asked between
  // slices.
  std::uint32_t slice_ms = 200;
  // All the searches for the processes holding files the cleanup could not
  // remove, together, in one run: a machine with thousands of processes must
  // not hold the client's relaunch back.
  std::uint32_t holder_search_ms = kHolderSearchLimit;
};

// The deadlines in force (the defaults unless a test changed them).
Deadlines CurrentDeadlines();

// Puts `deadlines` in force for its scope, then the previous ones back.
class ScopedDeadlines {
 public:
  explicit ScopedDeadlines(const Deadlines& deadlines);
  ~ScopedDeadlines();
  ScopedDeadlines(const ScopedDeadlines&) = delete;
  ScopedDeadlines& operator=(const ScopedDeadlines&) = delete;

 private:
  Deadlines previous_;
};
