// What the cleanup says of itself: a summary line per old version, the
// processes holding a file that stays on that file's line, and one event per
// run after the relaunch.
#include <gtest/gtest.h>

#include <QStringList>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"
#include "common/utils/deadlines.h"
#include "platform/process.h"
#include "support/file_holder.h"
#include "support/spool.h"
#include "support/test_env.h"
#include "update/old_version_cleanup.h"
#include "update/src/update/sandbox.h"
#include "update/update.h"

namespace {

namespace fs = std::filesystem;
using sandbox::Names;
using sandbox::Write;

TEST(ChildBehaviour, HoldFile) { testenv::HoldFileBehaviour(); }

const std::string kOwnImage = "test_update_src_update";

// The restart as the helper runs it, here in this process: no client to wait
// for, nothing running, a launcher that is not there.
void RunRestart() {
  static std::once_flag parsed;
  std::call_once(parsed, [] {
    command_line::SetupParser(
        command_line::Instance(),
        {QStringLiteral("appstore-pid"), QStringLiteral("launch-store-tray"),
         QStringLiteral("pseudo-protocol"), QStringLiteral("restore-language-restart-apps")},
        {QStringLiteral("QuarrionUpdate.exe")});
  });
  update::RestartAppStore();
}

// A program file in use: engine.dll and what it is moved to.
constexpr char kEnginePart[] = "engine.dll";
using RefusedEngine = sandbox::RefusedRemovals<kEnginePart>;

std::vector<std::string> SummaryLines(const testenv::LogCapture& log) {
  std::vector<std::string> out;
  for (const auto& line : log.StartingWith("old version ")) {
    EXPECT_EQ(line.type, QtInfoMsg);
    EXPECT_EQ(line.category, "quarrion.update");
    out.push_back(line.message);
  }
  return out;
}

// A summary line without its time, which differs from run to run.
std::string WithoutTime(const std::string& line) {
  static const std::regex kTime(R"( in \d+ ms$)");
  return std::regex_replace(line, kTime, " in <t> ms");
}

class CleanupSummaryTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    root_ = home() / "install";
    sandbox::MakeVersions(root_);
  }
  fs::path root_;
};

TEST_F(CleanupSummaryTest, AFileThatStaysNamesTheProgramHoldingItAndIsCounted) {
  const struct {
    const char* label;
    const char* file;  // in 1.0.0.1/bin; the removal of engine.dll* fails
    std::uint32_t holder_limit_ms;
    bool moved_aside;
    // What follows the file on its line; <pid> is the holder's.
    std::string said;
  } cases[] = {
      // Marked by an earlier run and still in use: it stays under its name.
      {"left by an earlier run", "engine.dll.~del_00aa", kHolderSearchLimit, false,
       "held by: " + kOwnImage + " (<pid>)"},
      // Moved aside now; the holder keeps it open under the new name.
      {"moved aside", "engine.dll", kHolderSearchLimit, true, "held by: " + kOwnImage + " (<pid>)"},
      {"no time left to search", "engine.dll.~del_00aa", 0, false,
       "holder search stopped at its 0 ms limit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path old_version = root_ / "1.0.0.1";
    const fs::path file = old_version / "bin" / c.file;
    sandbox::MakeVersions(root_);
    Write(file, "in use");
    testenv::FileHolder holder = testenv::FileHolder::Start(file);
    ASSERT_TRUE(holder.valid());
    const std::string said =
        std::regex_replace(c.said, std::regex("<pid>"), std::to_string(holder.pid()));
    Deadlines deadlines;
    deadlines.holder_search_ms = c.holder_limit_ms;
    const ScopedDeadlines shortened(deadlines);
    std::error_code ec;
    fs::remove(testenv::SpoolPath(), ec);
    testenv::SpoolReporter reporter;
    testenv::LogCapture log;
    {
      const RefusedEngine refused;
      RunRestart();
    }

    // The folder holding what stays stays too, as ever.
    EXPECT_EQ(Names(old_version), (std::set<std::string>{"bin"}));
    const auto left = Names(old_version / "bin");
    ASSERT_EQ(left.size(), 1u);
    const fs::path now = old_version / "bin" / *left.begin();
    const auto failed = log.StartingWith("failed to remove file: ");
    const auto renamed = log.StartingWith("renamed for deletion at reboot: ");
    if (c.moved_aside) {
      EXPECT_TRUE(failed.empty());
      ASSERT_EQ(renamed.size(), 1u);
      EXPECT_EQ(renamed[0].type, QtWarningMsg);
      EXPECT_EQ(renamed[0].message, "renamed for deletion at reboot:  " + file.string() + " as " +
                                        now.string() + " " + said);
    } else {
      EXPECT_TRUE(renamed.empty());
      EXPECT_EQ(now, file);
      ASSERT_EQ(failed.size(), 1u);
      EXPECT_EQ(failed[0].message, "failed to remove file:  " + file.string() + " " + said);
    }

    const int moved = c.moved_aside ? 1 : 0;
    std::vector<std::string> summaries;
    for (const std::string& line : SummaryLines(log)) summaries.push_back(WithoutTime(line));
    EXPECT_EQ(summaries,
              (std::vector<std::string>{
                  "old version 1.0.0.1: stays; entries removed 6, renamed for reboot " +
                      std::to_string(moved) + ", failed " + std::to_string(1 - moved) +
                      ", kept 0; 18 bytes freed in <t> ms",
                  "old version 1.0.0.2: stays; entries removed 3, renamed for reboot 0, failed 0, "
                  "kept 1; 19 bytes freed in <t> ms"}));

    const auto events = testenv::ReadEventParams("clear_old_version");
    ASSERT_EQ(events.size(), 1u);
    auto event = events[0];
    EXPECT_GE(std::stoll(event.at("duration")), 0);
    EXPECT_GE(std::stoll(event.at("no_client_duration")), std::stoll(event.at("duration")));
    event.erase("duration");
    event.erase("no_client_duration");
    const bool searched = c.holder_limit_ms > 0;
    EXPECT_EQ(event, (std::map<std::string, std::string>{
                         {"result", "done"},
                         {"versions", "2"},
                         {"versions_whole", "0"},
                         {"removed", "9"},
                         {"renamed", std::to_string(moved)},
                         {"failed", std::to_string(1 - moved)},
                         {"kept", "1"},
                         {"bytes_freed", "37"},
                         {"holder_searches", "1"},
                         {"holder_search_stopped", searched ? "0" : "1"},
                         {"holder_search_failed", "0"},
                         {"holders", searched ? kOwnImage : ""},
                     }));
    holder.Release();
    fs::remove_all(old_version);
  }
}

// Every entry below `dir` and `dir` itself, and what removing them frees: a
// file that also has a name elsewhere frees nothing.
struct TreeCount {
  std::uint64_t entries = 1;
  std::uint64_t bytes = 0;
};

TreeCount CountTree(const fs::path& dir) {
  TreeCount count;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    ++count.entries;
    if (entry.is_regular_file() && entry.hard_link_count() == 1) count.bytes += entry.file_size();
  }
  return count;
}

TEST_F(CleanupSummaryTest, TheCountsOfATwentyThousandFileVersionAreTheTreesOwn) {
  const fs::path big = root_ / "1.0.0.1";
  fs::remove_all(big);
  for (int t = 0; t < 20; ++t) {
    for (int s = 0; s < 10; ++s) {
      const fs::path dir =
          big / ("lib" + std::to_string(t)) / "plugins" / ("p" + std::to_string(s));
      fs::create_directories(dir);
      for (int f = 0; f < 100; ++f) {
        std::ofstream(dir / ("file" + std::to_string(f) + ".dll")) << std::string(f % 13, 'x');
      }
    }
  }
  fs::create_hard_link(big / "lib0" / "plugins" / "p0" / "file12.dll", home() / "outside.dll");
  const TreeCount tree = CountTree(big);
  ASSERT_EQ(tree.entries, 20000u + 20 + 20 + 200 + 1);
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  EXPECT_FALSE(fs::exists(big));
  EXPECT_EQ(testenv::ReadFile(home() / "outside.dll"), std::string(12, 'x'));
  std::vector<std::string> summaries;
  for (const std::string& line : SummaryLines(log)) summaries.push_back(WithoutTime(line));
  EXPECT_EQ(summaries,
            (std::vector<std::string>{
                "old version 1.0.0.1: removed whole; entries removed " +
                    std::to_string(tree.entries) + ", renamed for reboot 0, failed 0, kept 0; " +
                    std::to_string(tree.bytes) + " bytes freed in <t> ms",
                "old version 1.0.0.2: stays; entries removed 3, renamed for reboot 0, failed 0, "
                "kept 1; 19 bytes freed in <t> ms"}));
}

}  // namespace
