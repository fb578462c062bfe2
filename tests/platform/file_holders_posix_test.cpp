#include "platform/file_holders.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/file_holder.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using platform::file_holders::FindFileHolders;
using platform::file_holders::Holder;

TEST(ChildBehaviour, HoldFile) { testenv::HoldFileBehaviour(); }

constexpr std::uint64_t kPlentyMs = 60000;
const std::wstring kOwnImage = L"test_platform";

void Write(const fs::path& p, const std::string& text = "payload") {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::vector<Holder> HoldersOf(const fs::path& file) {
  const auto search = FindFileHolders(file, platform::TickCount64() + kPlentyMs);
  EXPECT_TRUE(search) << search.error();
  if (!search) return {};
  EXPECT_FALSE(search->gave_up);
  return search->holders;
}

class FileHoldersTest : public testenv::ProductTest {};

TEST_F(FileHoldersTest, TheProcessesHoldingTheFileAreFoundAndNoOther) {
  struct Case {
    const char* label;
    const char* held;      // what the child holds, below the test's folder
    testenv::Hold how;
    const char* searched;  // what is asked for
    std::function<void(const fs::path& dir)> after;  // once the child holds it
    bool found;
  };
  const auto replace = [](const fs::path& dir) {
    fs::remove(dir / "app" / "data.bin");
    Write(dir / "app" / "data.bin", "a new file of the old name");
  };
  const Case cases[] = {
      {"open", "app/data.bin", testenv::Hold::kOpen, "app/data.bin", {}, true},
      {"mapped, its descriptor closed", "app/data.bin", testenv::Hold::kMapped, "app/data.bin", {},
       true},
      // A second name of the same file, in another folder: told by its identity.
      {"open by another folder's name", "other/data.bin", testenv::Hold::kOpen, "app/data.bin", {},
       true},
      {"asked through a linked folder", "app/data.bin", testenv::Hold::kOpen, "linked/data.bin", {},
       true},
      {"a longer name of the same start", "app/data.bin.old", testenv::Hold::kOpen, "app/data.bin",
       {}, false},
      // The child holds the earlier file, which is gone: the new one is free.
      {"open, then replaced", "app/data.bin", testenv::Hold::kOpen, "app/data.bin", replace, false},
      {"mapped, then replaced", "app/data.bin", testenv::Hold::kMapped, "app/data.bin", replace,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path dir = home() / c.label;
    Write(dir / "app" / "data.bin");
    Write(dir / "app" / "data.bin.old");
    fs::create_directories(dir / "other");
    fs::create_hard_link(dir / "app" / "data.bin", dir / "other" / "data.bin");
    fs::create_directory_symlink(dir / "app", dir / "linked");

    testenv::FileHolder holder = testenv::FileHolder::Start(dir / c.held, c.how);
    ASSERT_TRUE(holder.valid());
    if (c.after) c.after(dir);
    const std::vector<Holder> expected =
        c.found ? std::vector<Holder>{{holder.pid(), kOwnImage}} : std::vector<Holder>{};
    EXPECT_EQ(HoldersOf(dir / c.searched), expected);
  }
}

TEST_F(FileHoldersTest, EveryHolderComesOnceInPidOrderThisProcessIncluded) {
  const fs::path file = home() / "shared.dat";
  Write(file);
  std::FILE* own = std::fopen(file.c_str(), "rb");
  ASSERT_NE(own, nullptr);
  std::FILE* again = std::fopen(file.c_str(), "rb");  // twice: still one holder
  testenv::FileHolder first = testenv::FileHolder::Start(file);
  testenv::FileHolder second = testenv::FileHolder::Start(file, testenv::Hold::kMapped);
  ASSERT_TRUE(first.valid() && second.valid());

  std::vector<Holder> expected = {{platform::CurrentProcessId(), kOwnImage},
                                  {first.pid(), kOwnImage},
                                  {second.pid(), kOwnImage}};
  std::sort(expected.begin(), expected.end(),
            [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  EXPECT_EQ(HoldersOf(file), expected);
  std::fclose(again);
  std::fclose(own);
}

TEST_F(FileHoldersTest, ADeadlineAlreadyPastGivesUpBeforeLookingAtAnyProcess) {
  const fs::path file = home() / "held.dat";
  Write(file);
  testenv::FileHolder holder = testenv::FileHolder::Start(file);
  ASSERT_TRUE(holder.valid());
  const auto search = FindFileHolders(file, platform::TickCount64());
  ASSERT_TRUE(search);
  EXPECT_TRUE(search->gave_up);
  EXPECT_TRUE(search->holders.empty());
}

}  // namespace
