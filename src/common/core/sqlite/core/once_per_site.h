// "At most once per site and process": a site is one place in the source
// (where the call stands) together with a small discriminator, so one guarded
// operation can keep apart its kinds of failure. Each site owns a call-once
// flag: the first thread through runs the action, threads arriving meanwhile
// wait for it, later passages do nothing.
#pragma once

#include <cstdint>
#include <mutex>
#include <source_location>
#include <utility>

namespace once_per_site {

struct Site {
  const char* file = "";
  std::uint_least32_t line = 0;
  std::uint_least32_t column = 0;
  int kind = 0;
};

// The site of the caller (with a discriminator).
inline Site Here(int kind = 0, std::source_location where = std::source_location::current()) {
  return Site{where.file_name(), where.line(), where.column(), kind};
}

// The flag of a site; created on first use and kept for the life of the process.
std::once_flag& FlagOf(const Site& site);

template <class Action>
void CallOnce(const Site& site, Action&& action) {
  std::call_once(FlagOf(site), std::forward<Action>(action));
}

// Forgets every site, so that a test can start from a fresh process state.
// Only safe while no thread is inside CallOnce.
void ResetForTesting();

}  // namespace once_per_site
