#include "support/file_holder.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/process.h"

namespace testenv {

namespace {

namespace fs = std::filesystem;

constexpr char kFileVariable[] = "QUARRION_TEST_HOLD_FILE";
constexpr char kHowVariable[] = "QUARRION_TEST_HOLD_HOW";
constexpr char kTalkVariable[] = "QUARRION_TEST_HOLD_TALK";
constexpr std::uint32_t kReadyLimitMs = 30000;
constexpr std::uint32_t kEndLimitMs = 30000;
// How often the child looks for its release file.
constexpr std::uint32_t kReleasePollMs = 10;

// Files appear whole: written aside, then renamed.
void Announce(const fs::path& path) {
  const fs::path part = path.string() + ".part";
  std::ofstream(part) << "1";
  std::error_code ec;
  fs::rename(part, path, ec);
}

bool WaitForFile(const fs::path& path, std::uint32_t limit_ms, const Child* while_running) {
  const std::uint64_t deadline = platform::TickCount64() + limit_ms;
  std::error_code ec;
  while (!fs::exists(path, ec)) {
    if (platform::TickCount64() > deadline) return false;
    if (while_running != nullptr &&
        platform::WaitForProcess(while_running->get(), 0) == platform::kWaitObject0) {
      return false;
    }
    platform::SleepMs(kReleasePollMs);
  }
  return true;
}

// Holds the file the way asked; false when it cannot.
bool Take(const char* file, const std::string& how, std::FILE** open) {
#ifndef _WIN32
  if (how == "mapped") {
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    void* view = ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    return view != MAP_FAILED;
  }
#endif
  if (how != "open") return false;
  *open = std::fopen(file, "rb");
  return *open != nullptr;
}

}  // namespace

FileHolder FileHolder::Start(const fs::path& file, Hold how) {
  static std::atomic<int> serial{0};
  FileHolder holder;
  holder.talk_ = fs::temp_directory_path() /
                 ("quarrion-holder-" + std::to_string(platform::CurrentProcessId()) + "-" +
                  std::to_string(serial++));
  fs::create_directories(holder.talk_);
  ChildOptions options;
  options.environment = EnvironmentWith({
      std::string(kFileVariable) + "=" + file.string(),
      std::string(kHowVariable) + "=" + (how == Hold::kMapped ? "mapped" : "open"),
      std::string(kTalkVariable) + "=" + holder.talk_.string(),
  });
  holder.child_ = StartBehaviour("HoldFile", options);
  if (!holder.child_.valid() || !WaitForFile(holder.talk_ / "ready", kReadyLimitMs, &holder.child_)) {
    ADD_FAILURE() << "the holder of " << file << " did not take it";
    holder.Release();
  }
  return holder;
}

void FileHolder::Release() {
  if (talk_.empty()) return;
  if (child_.valid()) {
    Announce(talk_ / "release");
    // Left to end by itself, the child's test program cleans up after it.
    if (!child_.Wait(kEndLimitMs)) child_.Kill();
    child_ = Child();
  }
  std::error_code ec;
  fs::remove_all(talk_, ec);
  talk_.clear();
}

void HoldFileBehaviour() {
  if (!InChildBehaviour()) GTEST_SKIP() << "run by testenv::FileHolder";
  const char* file = std::getenv(kFileVariable);
  const char* how = std::getenv(kHowVariable);
  const char* talk = std::getenv(kTalkVariable);
  if (file == nullptr || how == nullptr || talk == nullptr) std::_Exit(2);
  std::FILE* open = nullptr;
  if (!Take(file, how, &open)) std::_Exit(3);
  Announce(fs::path(talk) / "ready");
  // The child has nothing to wait on but the release file.
  while (!WaitForFile(fs::path(talk) / "release", kReleasePollMs, nullptr)) {
  }
  if (open != nullptr) std::fclose(open);
}

}  // namespace testenv
