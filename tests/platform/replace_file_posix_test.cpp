#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/append_file.h"
#include "platform/files.h"
#include "platform/private_mounts_posix.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using platform::files::ReplaceWholeFile;

void Write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

class ReplaceFileTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    dir_ = home() / "shared";
    outside_ = home() / "outside";
    fs::create_directories(dir_);
    fs::create_directories(outside_);
  }
  fs::path dir_;
  fs::path outside_;
};

// Whatever stands at the name, the name ends up as a new regular file with
// the new bytes, and nothing reached through the old entry changes.
TEST_F(ReplaceFileTest, ReplacesTheEntryNeverWhatItLeadsTo) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& at, const fs::path& outside)> place;
    // Checked afterwards: what the old entry led to is as it was.
    std::function<void(const fs::path& outside)> check;
  };
  const std::vector<Case> cases = {
      {"nothing", [](const fs::path&, const fs::path&) {},
       [](const fs::path& outside) { EXPECT_TRUE(Names(outside).empty()); }},
      {"an older, longer file",
       [](const fs::path& at, const fs::path&) { Write(at, "an older and much longer text"); },
       [](const fs::path&) {}},
      {"a link to a file elsewhere",
       [](const fs::path& at, const fs::path& outside) {
         Write(outside / "victim", "victim bytes");
         fs::create_symlink(outside / "victim", at);
       },
       [](const fs::path& outside) {
         EXPECT_EQ(testenv::ReadFile(outside / "victim"), "victim bytes");
       }},
      {"a dangling link",
       [](const fs::path& at, const fs::path& outside) {
         fs::create_symlink(outside / "would-be-created", at);
       },
       [](const fs::path& outside) { EXPECT_FALSE(fs::exists(outside / "would-be-created")); }},
      {"another name of a hard link",
       [](const fs::path& at, const fs::path& outside) {
         Write(outside / "other-name", "shared inode");
         fs::create_hard_link(outside / "other-name", at);
       },
       [](const fs::path& outside) {
         EXPECT_EQ(testenv::ReadFile(outside / "other-name"), "shared inode");
         EXPECT_EQ(fs::hard_link_count(outside / "other-name"), 1u);
       }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path outside = outside_ / std::to_string(n);
    const std::string name = "pkg" + std::to_string(n++) + ".conf";
    fs::create_directories(outside);
    c.place(dir_ / name, outside);
    const std::set<std::string> before = [&] {
      auto names = Names(dir_);
      names.insert(name);
      return names;
    }();

    const auto result = ReplaceWholeFile(dir_, name, "new content");
    ASSERT_TRUE(result) << result.error();

    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / name)));
    EXPECT_EQ(testenv::ReadFile(dir_ / name), "new content");
    EXPECT_EQ(fs::hard_link_count(dir_ / name), 1u);
    c.check(outside);
    EXPECT_EQ(Names(dir_), before) << "nothing is left beside the file";
  }
}

// What cannot be replaced is refused, untouched and unopened (a FIFO nobody
// reads would hang an open for writing).
TEST_F(ReplaceFileTest, RefusesWhatIsNotAFileAndBadNames) {
  fs::create_directories(dir_ / "a-dir" / "inside");
  ASSERT_EQ(::mkfifo((dir_ / "a-fifo").c_str(), 0600), 0) << std::strerror(errno);
  Write(home() / "plain-file", "keep");
  struct Case {
    fs::path directory;
    fs::path name;
    platform::ErrorCode error;
  };
  const std::vector<Case> cases = {
      {dir_, "a-dir", platform::kErrorAccessDenied},
      {dir_, "a-fifo", platform::kErrorAccessDenied},
      {dir_ / "missing", "x.conf", platform::kErrorPathNotFound},
      {home() / "plain-file", "x.conf", platform::kErrorPathNotFound},
      {"", "x.conf", platform::kErrorInvalidParameter},
      {dir_, "", platform::kErrorInvalidParameter},
      {dir_, ".", platform::kErrorInvalidParameter},
      {dir_, "..", platform::kErrorInvalidParameter},
      {dir_, "sub/x.conf", platform::kErrorInvalidParameter},
      {dir_, "../escaped.conf", platform::kErrorInvalidParameter},
      {dir_, fs::path(std::string("cut\0short", 9)), platform::kErrorInvalidParameter},
  };
  const std::set<std::string> before = Names(dir_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory.string() + " | " + c.name.string());
    EXPECT_EQ(ReplaceWholeFile(c.directory, c.name, "x").error(), c.error);
  }
  EXPECT_EQ(Names(dir_), before);
  EXPECT_TRUE(fs::is_directory(dir_ / "a-dir" / "inside"));
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir_ / "a-fifo")));
  EXPECT_EQ(testenv::ReadFile(home() / "plain-file"), "keep");
  EXPECT_FALSE(fs::exists(home() / "escaped.conf"));
  EXPECT_FALSE(fs::exists(dir_ / "cut"));
}

TEST_F(ReplaceFileTest, OurOwnFileKeepsItsPermissions) {
  Write(dir_ / "private.conf", "old");
  fs::permissions(dir_ / "private.conf", fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(ReplaceWholeFile(dir_, "private.conf", "new"));
  EXPECT_EQ(fs::status(dir_ / "private.conf").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

// A full file system, for real: a small tmpfs in a mount namespace of this
// test's own. Either the disk is full before the first byte or the text
// outgrows it part way; the old file keeps every byte and no temporary file
// is left.
TEST_F(ReplaceFileTest, AFullDiskLeavesTheOldFileAsItWas) {
  const fs::path mnt = home() / "small";
  fs::create_directories(mnt);
  const std::string old_text = "{\"the old\":\"content\"}";
  struct Case {
    const char* what;
    bool fill;
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {"full before the first byte", true, 1},
      {"full part way", false, 2 * 1024 * 1024},
  };
  const std::string why = testenv::RunWithPrivateMounts([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
      Write(mnt / "guest.conf", old_text);
      if (c.fill) {
        auto filler = platform::AppendFile::Open(mnt / "filler");
        ASSERT_TRUE(filler);
        const std::string block(4096, 'f');
        while (filler->Append(block)) {
        }
      }
      const std::set<std::string> before = Names(mnt);

      const auto result = ReplaceWholeFile(mnt, "guest.conf", std::string(c.size, 'n'));
      EXPECT_EQ(result.error(), platform::kErrorDiskFull);
      EXPECT_EQ(testenv::ReadFile(mnt / "guest.conf"), old_text);
      EXPECT_EQ(Names(mnt), before);
      testenv::Unmount(mnt);
    }
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

class AppendFileLinkTest : public testenv::ProductTest {};

// An appended file shares its name with other writers, so what stands there
// is refused rather than replaced; nothing it leads to changes, and a FIFO
// does not hang the open.
TEST_F(AppendFileLinkTest, RefusesLinksFifosAndSecondNames) {
  const fs::path victim = home() / "victim";
  Write(victim, "victim bytes");
  fs::create_symlink(victim, home() / "to-file");
  fs::create_symlink(home() / "nowhere", home() / "dangling");
  fs::create_hard_link(victim, home() / "second-name");
  ASSERT_EQ(::mkfifo((home() / "fifo").c_str(), 0600), 0);
  struct Case {
    const char* name;
    platform::ErrorCode error;
  };
  for (const Case& c : {Case{"to-file", platform::kErrorStoppedOnSymlink},
                        Case{"dangling", platform::kErrorStoppedOnSymlink},
                        Case{"second-name", platform::kErrorAccessDenied},
                        Case{"fifo", platform::kErrorAccessDenied}}) {
    SCOPED_TRACE(c.name);
    auto opened = platform::AppendFile::Open(home() / c.name);
    if (opened) (void)opened->Append("injected\n");
    EXPECT_FALSE(opened);
    // A FIFO without a reader fails the open itself, with another number.
    if (std::string(c.name) != "fifo") {
      EXPECT_EQ(opened.error(), c.error);
    }
  }
  EXPECT_EQ(testenv::ReadFile(victim), "victim bytes");
  EXPECT_FALSE(fs::exists(home() / "nowhere"));
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Inside a batch each file is whole at its name at once, and each folder is
// held for its one sync until the outermost batch ends; without a batch the
// write syncs its folder itself and holds nothing.
TEST_F(ReplaceFileTest, ABatchSyncsEachFolderOnceAtItsEnd) {
  const fs::path other = home() / "other";
  fs::create_directories(other);
  const std::size_t before = OpenDescriptors();
  {
    const platform::files::DirectorySyncBatch outer;
    {
      const platform::files::DirectorySyncBatch inner;
      for (const char* name : {"a.conf", "b.conf", "a.conf"}) {
        ASSERT_TRUE(ReplaceWholeFile(dir_, name, std::string("text of ") + name));
        EXPECT_EQ(testenv::ReadFile(dir_ / name), std::string("text of ") + name);
      }
      ASSERT_TRUE(ReplaceWholeFile(other, "c.conf", "c"));
      EXPECT_EQ(OpenDescriptors(), before + 2);  // one per folder, however many files
    }
    EXPECT_EQ(OpenDescriptors(), before + 2) << "the inner batch synced already";
    EXPECT_EQ(Names(dir_), (std::set<std::string>{"a.conf", "b.conf"}));
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_TRUE(ReplaceWholeFile(dir_, "a.conf", "again"));
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(testenv::ReadFile(dir_ / "a.conf"), "again");
}

}  // namespace
