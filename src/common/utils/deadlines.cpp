#include "common/utils/deadlines.h"

#include <mutex>

namespace {

std::mutex& DeadlinesMutex() {
  static std::mutex mutex;
  return mutex;
}

Deadlines& InForce() {
  static Deadlines deadlines;
  return deadlines;
}

}  // namespace

Deadlines CurrentDeadlines() {
  std::lock_guard guard(DeadlinesMutex());
  return InForce();
}

ScopedDeadlines::ScopedDeadlines(const Deadlines& deadlines) {
  std::lock_guard guard(DeadlinesMutex());
  previous_ = InForce();
  InForce() = deadlines;
}

ScopedDeadlines::~ScopedDeadlines() {
  std::lock_guard guard(DeadlinesMutex());
  InForce() = previous_;
}
