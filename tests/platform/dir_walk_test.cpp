#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/text.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using platform::dir_walk::DirHandle;
using platform::dir_walk::EntryInfo;
using platform::dir_walk::EntryType;

namespace {

void Touch(const fs::path& p, const std::string& text = "x") {
  std::ofstream(p) << text;
}

std::map<std::string, EntryType> ListAll(const DirHandle& dir) {
  std::map<std::string, EntryType> out;
  EXPECT_EQ(dir.List([&](const platform::dir_walk::Entry& e) {
              out[e.name.string()] = e.type;
              return true;
            }),
            0u);
  return out;
}

class DirWalkTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    root_ = home() / "walk";
    outside_ = home() / "outside";
    fs::create_directories(root_ / "sub");
    fs::create_directories(outside_);
    Touch(root_ / "file");
    Touch(outside_ / "keep", "precious");
    fs::create_directory_symlink(outside_, root_ / "dirlink");
    fs::create_symlink(outside_ / "keep", root_ / "filelink");
  }
  fs::path root_;
  fs::path outside_;
};

TEST_F(DirWalkTest, ListsEntriesWithTheirOwnTypeNotTheLinkTarget) {
  DirHandle dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  auto entries = ListAll(dir);
  EXPECT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries["file"], EntryType::kFile);
  EXPECT_EQ(entries["sub"], EntryType::kDirectory);
  EXPECT_EQ(entries["dirlink"], EntryType::kSymlink);
  EXPECT_EQ(entries["filelink"], EntryType::kSymlink);
}

TEST_F(DirWalkTest, AnotherFileSystemBelowIsAMountPoint) {
  // /proc is its own file system on every Linux machine.
  DirHandle dir = DirHandle::Open("/");
  ASSERT_TRUE(dir);
  auto entries = ListAll(dir);
  ASSERT_TRUE(entries.count("proc"));
  EXPECT_EQ(entries["proc"], EntryType::kMountPoint);
  EntryInfo info;
  ASSERT_EQ(dir.Stat("proc", &info), 0u);
  EXPECT_EQ(info.type, EntryType::kMountPoint);
}

TEST_F(DirWalkTest, LinksAreNeverOpenedAsDirectories) {
  platform::ErrorCode err = 0;
  EXPECT_FALSE(DirHandle::Open(root_ / "dirlink", &err));
  EXPECT_NE(err, 0u);
  DirHandle dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  EXPECT_FALSE(dir.OpenChild("dirlink", &err));
  EXPECT_NE(err, 0u);
  EXPECT_TRUE(dir.OpenChild("sub", &err));
  EXPECT_EQ(err, 0u);
  EXPECT_FALSE(dir.OpenChild("missing", &err));
  EXPECT_EQ(err, platform::kErrorFileNotFound);
}

TEST_F(DirWalkTest, OpenChildRefusesADirectorySwappedAfterItWasExamined) {
  DirHandle dir = DirHandle::Open(root_);
  EntryInfo before;
  ASSERT_EQ(dir.Stat("sub", &before), 0u);
  fs::rename(root_ / "sub", root_ / "old-sub");
  fs::create_directory(root_ / "sub");
  platform::ErrorCode err = 0;
  EXPECT_FALSE(dir.OpenChild("sub", &err, &before));
  EXPECT_EQ(err, platform::kErrorAccessDenied);
  EntryInfo after;
  ASSERT_EQ(dir.Stat("sub", &after), 0u);
  EXPECT_TRUE(dir.OpenChild("sub", &err, &after));
}

TEST_F(DirWalkTest, RemovingALinkLeavesItsTargetAlone) {
  DirHandle dir = DirHandle::Open(root_);
  EXPECT_NE(dir.RemoveDirectory("dirlink"), 0u);  // a link is not a directory
  EXPECT_EQ(dir.RemoveFile("dirlink"), 0u);
  EXPECT_EQ(dir.RemoveFile("filelink"), 0u);
  EXPECT_FALSE(dir.Exists("dirlink"));
  EXPECT_FALSE(dir.Exists("filelink"));
  EXPECT_EQ(testenv::ReadFile(outside_ / "keep"), "precious");
}

TEST_F(DirWalkTest, RemoveRenameAndExistence) {
  DirHandle dir = DirHandle::Open(root_);
  Touch(root_ / "sub" / "inner");
  EXPECT_EQ(dir.RemoveDirectory("sub"), platform::kErrorDirNotEmpty);
  EXPECT_EQ(dir.Rename("file", "renamed"), 0u);
  EXPECT_FALSE(dir.Exists("file"));
  EXPECT_TRUE(dir.Exists("renamed"));
  EXPECT_EQ(dir.RemoveFile("file"), platform::kErrorFileNotFound);
  EntryInfo info;
  EXPECT_EQ(dir.Stat("file", &info), platform::kErrorFileNotFound);
  DirHandle sub = dir.OpenChild("sub");
  EXPECT_EQ(sub.RemoveFile("inner"), 0u);
  EXPECT_EQ(dir.RemoveDirectory("sub"), 0u);
  EXPECT_FALSE(fs::exists(root_ / "sub"));
}

platform::ErrorCode RefuseLocked(int dir, const char* name) {
  if (std::strcmp(name, "file") == 0) return platform::kErrorSharingViolation;
  return platform::dir_walk::RealRemoveFile(dir, name);
}

TEST_F(DirWalkTest, RemoveStepCanBeReplacedAndRestored) {
  DirHandle dir = DirHandle::Open(root_);
  auto previous = platform::dir_walk::ExchangeRemoveFileFunction(&RefuseLocked);
  EXPECT_EQ(dir.RemoveFile("file"), platform::kErrorSharingViolation);
  EXPECT_EQ(dir.RemoveFile("filelink"), 0u);
  platform::dir_walk::ExchangeRemoveFileFunction(previous);
  EXPECT_TRUE(dir.Exists("file"));
  EXPECT_EQ(dir.RemoveFile("file"), 0u);
}

TEST(SystemFoldersTest, HoldsTheSystemFoldersTheHomeAndTheXdgFolders) {
  ::setenv("XDG_CONFIG_HOME", "/srv/cfg-of-user", 1);
  ::setenv("XDG_DATA_DIRS", "/usr/local/share:/opt/data", 1);
  ::setenv("XDG_CACHE_HOME", "/x", 1);  // too short: skipped
  auto folders = platform::dir_walk::SystemFolders();
  auto has = [&](const std::string& p) {
    return std::find(folders.begin(), folders.end(), platform::text::FromUtf8(p)) !=
           folders.end();
  };
  for (const char* p : {"/", "/bin", "/etc", "/usr", "/var", "/home", "/proc", "/lib64"}) {
    EXPECT_TRUE(has(p)) << p;
  }
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_TRUE(has(home));
  EXPECT_TRUE(has("/srv/cfg-of-user"));
  EXPECT_TRUE(has("/usr/local/share"));
  EXPECT_TRUE(has("/opt/data"));
  EXPECT_FALSE(has("/x"));
  EXPECT_TRUE(has(std::string(home) + "/.local/share") || std::getenv("XDG_DATA_HOME"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_DATA_DIRS");
  ::unsetenv("XDG_CACHE_HOME");
}

}  // namespace
