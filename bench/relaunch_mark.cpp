// A launcher that only says when it started: the monotonic clock in
// nanoseconds, appended as one line to the file named by
// QUARRION_RELAUNCH_MARK. Kept free of Qt and of the project's libraries so
// that its own start costs the same few hundred microseconds on both sides
// of the relaunch benchmark.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const char* mark = getenv("QUARRION_RELAUNCH_MARK");
  if (mark == nullptr) return 2;
  char line[32];
  const int n = snprintf(line, sizeof line, "%lld\n",
                         static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  const int fd = open(mark, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  const bool written = write(fd, line, static_cast<size_t>(n)) == n;
  close(fd);
  return written ? 0 : 1;
}
