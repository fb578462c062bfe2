#include "platform/append_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace {

class AppendFileTest : public testenv::ProductTest {};

// Several writers, each with its own open file, as several processes have:
// every line arrives whole, none is lost, none is mixed with another.
TEST_F(AppendFileTest, ConcurrentWritersNeverInterleave) {
  const auto path = home() / "spool.jsonl";
  std::ofstream(path, std::ios::binary) << "existing\n";
  constexpr int kWriters = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      auto file = platform::AppendFile::Open(path);
      ASSERT_TRUE(file) << file.error();
      for (int i = 0; i < kLines; ++i) {
        // Long enough that a non-atomic append would show as mixed lines.
        const std::string line = std::to_string(w) + ":" + std::to_string(i) + ":" +
                                 std::string(3000, static_cast<char>('a' + w)) + "\n";
        ASSERT_TRUE(file->Append(line)) << i;
      }
      EXPECT_TRUE(file->SyncAndClose());
    });
  }
  for (auto& writer : writers) writer.join();

  std::istringstream in(testenv::ReadFile(path));
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "existing");  // appended after, never over
  std::set<std::string> seen;
  while (std::getline(in, line)) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    ASSERT_NE(second, std::string::npos) << line.substr(0, 80);
    const int w = std::stoi(line.substr(0, first));
    EXPECT_EQ(line.substr(second + 1), std::string(3000, static_cast<char>('a' + w)));
    EXPECT_TRUE(seen.insert(line.substr(0, second)).second) << "twice: " << line.substr(0, second);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kWriters * kLines));
}

TEST_F(AppendFileTest, FailuresAreNumbersNeverSuccess) {
  // A directory, a missing directory: no file.
  EXPECT_EQ(platform::AppendFile::Open(home()).error(), platform::kErrorAccessDenied);
#ifdef _WIN32
  // Windows tells a missing folder from a missing file.
  EXPECT_EQ(platform::AppendFile::Open(home() / "missing" / "x").error(),
            platform::kErrorPathNotFound);
#else
  EXPECT_EQ(platform::AppendFile::Open(home() / "missing" / "x").error(),
            platform::kErrorFileNotFound);

  // A full disk refuses the line.
  auto full = platform::AppendFile::Open("/dev/full");
  ASSERT_TRUE(full) << full.error();
  EXPECT_EQ(full->Append("line\n").error(), platform::kErrorDiskFull);
#endif

  // Not open (never, or no more): 6, and closing again is harmless.
  platform::AppendFile none;
  EXPECT_EQ(none.Append("x").error(), platform::kErrorInvalidHandle);
  EXPECT_TRUE(none.SyncAndClose());
  auto file = platform::AppendFile::Open(home() / "f");
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->Append("x"));
  EXPECT_TRUE(file->SyncAndClose());
  EXPECT_FALSE(file->is_open());
  EXPECT_EQ(file->Append("y").error(), platform::kErrorInvalidHandle);
  EXPECT_EQ(testenv::ReadFile(home() / "f"), "x");
}

}  // namespace
