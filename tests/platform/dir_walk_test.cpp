#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "platform/text.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#undef RemoveSubdirectory
#else
#include "platform/private_mounts_posix.h"
#endif

namespace fs = std::filesystem;
using platform::dir_walk::DirHandle;
using platform::dir_walk::EntryInfo;
using platform::dir_walk::EntryType;

namespace {

void Touch(const fs::path& p, const std::string& text = "x") {
  std::ofstream(p) << text;
}

// Whether links open as themselves. Wine opens the target whatever the
// flags say; the walk then refuses the entry instead of acting on it.
bool LinksOpenAsThemselves() { return !testenv::UnderWine(); }

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
    ASSERT_TRUE(testenv::MakeLink(outside_, root_ / "dirlink", true));
    ASSERT_TRUE(testenv::MakeLink(outside_ / "keep", root_ / "filelink", false));
  }
  fs::path root_;
  fs::path outside_;
};

TEST_F(DirWalkTest, ListsEntriesWithTheirOwnTypeNotTheLinkTarget) {
  auto dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  auto entries = ListAll(*dir);
  EXPECT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries["file"], EntryType::kFile);
  EXPECT_EQ(entries["sub"], EntryType::kDirectory);
  EXPECT_EQ(entries["dirlink"], EntryType::kSymlink);
  // Wine's listing marks only links to folders as reparse points.
  if (LinksOpenAsThemselves()) {
    EXPECT_EQ(entries["filelink"], EntryType::kSymlink);
  }
  // Looked at one by one, both are links whatever the listing said.
  for (const char* link : {"dirlink", "filelink"}) {
    const auto info = dir->Stat(link);
    ASSERT_TRUE(info) << link;
    EXPECT_EQ(info->type, EntryType::kSymlink) << link;
  }
}

// More entries than one read of the listing holds, listed twice through the
// same handle: every name exactly once each time.
TEST_F(DirWalkTest, ALargeFolderIsListedWholeAndAgainFromTheStart) {
  const fs::path big = home() / "big";
  fs::create_directories(big);
  std::set<std::string> expected;
  for (int i = 0; i < 1500; ++i) {
    const std::string name = "entry-with-a-rather-long-name-" + std::to_string(i);
    Touch(big / name);
    expected.insert(name);
  }
  auto dir = DirHandle::Open(big);
  ASSERT_TRUE(dir);
  for (int pass = 0; pass < 2; ++pass) {
    std::multiset<std::string> seen;
    ASSERT_EQ(dir->List([&](const platform::dir_walk::Entry& e) {
                seen.insert(e.name.string());
                return true;
              }),
              0u);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), expected) << "pass " << pass;
    EXPECT_EQ(seen.size(), expected.size()) << "pass " << pass;
  }
  int visited = 0;
  EXPECT_EQ(dir->List([&](const platform::dir_walk::Entry&) { return ++visited < 3; }), 0u);
  EXPECT_EQ(visited, 3);
}

#ifdef _WIN32
// The root of a volume is where another file system begins.
TEST_F(DirWalkTest, AVolumeRootIsAMountPoint) {
  auto drive = DirHandle::Open(L"C:\\");
  ASSERT_TRUE(drive) << drive.error();
  const auto self = drive->Identify();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->type, EntryType::kMountPoint);
  auto walk = DirHandle::Open(root_);
  ASSERT_TRUE(walk);
  const auto plain = walk->Identify();
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->type, EntryType::kDirectory);
  const auto sub = walk->Stat("sub");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->type, EntryType::kDirectory);
  EXPECT_EQ(sub->device, plain->device);
}
#else
TEST_F(DirWalkTest, AnotherFileSystemBelowIsAMountPoint) {
  // /proc is its own file system on every Linux machine. The listing does not
  // examine entries; the handle and a look at the entry tell.
  auto dir = DirHandle::Open("/");
  ASSERT_TRUE(dir);
  auto entries = ListAll(*dir);
  ASSERT_TRUE(entries.count("proc"));
  EXPECT_EQ(entries["proc"], EntryType::kDirectory);
  const auto info = dir->Stat("proc");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->type, EntryType::kMountPoint);
  const auto proc = dir->OpenChild("proc");
  ASSERT_TRUE(proc);
  const auto self = proc->Identify();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->type, EntryType::kMountPoint);

  auto walk = DirHandle::Open(root_);
  ASSERT_TRUE(walk);
  const auto plain = walk->Identify();
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->type, EntryType::kDirectory);
  const auto sub = walk->Stat("sub");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->type, EntryType::kDirectory);
  EXPECT_EQ(sub->device, plain->device);
}

// A bind mount of the same file system keeps the device number: only the
// kernel's mark tells it, both from the handle and from a look at the entry.
TEST_F(DirWalkTest, ABindMountOfTheSameFileSystemIsAMountPoint) {
  const std::string skipped = testenv::RunWithPrivateMounts([&] {
    ASSERT_TRUE(testenv::BindMount(outside_, root_ / "sub")) << std::strerror(errno);
    auto dir = DirHandle::Open(root_);
    ASSERT_TRUE(dir);
    const auto parent = dir->Identify();
    ASSERT_TRUE(parent);
    const auto info = dir->Stat("sub");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->device, parent->device);
    EXPECT_EQ(info->type, EntryType::kMountPoint);
    const auto sub = dir->OpenChild("sub");
    ASSERT_TRUE(sub);
    const auto self = sub->Identify();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->type, EntryType::kMountPoint);
    EXPECT_EQ(self->device, parent->device);
    EXPECT_EQ(dir->RemoveSubdirectory("sub"), platform::kErrorSharingViolation);
    // The mounted folder itself, opened by its own path, is no mount root.
    auto source = DirHandle::Open(outside_);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->Identify()->type, EntryType::kDirectory);
    testenv::Unmount(root_ / "sub");
  });
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  EXPECT_EQ(testenv::ReadFile(outside_ / "keep"), "precious");
}
#endif

TEST_F(DirWalkTest, LinksAndFilesAreNeverOpenedAsDirectories) {
  struct Case {
    const char* name;
    platform::ErrorCode error;
  };
  const Case cases[] = {
      {"dirlink", platform::kErrorDirectory},
      {"filelink", platform::kErrorDirectory},
      {"file", platform::kErrorDirectory},
      {"missing", platform::kErrorFileNotFound},
  };
  auto dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  for (const Case& c : cases) {
    EXPECT_EQ(DirHandle::Open(root_ / c.name).error(), c.error) << c.name;
    EXPECT_EQ(dir->OpenChild(c.name).error(), c.error) << c.name;
  }
  EXPECT_TRUE(dir->OpenChild("sub"));
  EXPECT_EQ(DirHandle().OpenChild("sub").error(), platform::kErrorInvalidHandle);
}

TEST_F(DirWalkTest, OpenChildRefusesADirectorySwappedAfterItWasExamined) {
  auto dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  const auto before = dir->Stat("sub");
  ASSERT_TRUE(before);
  fs::rename(root_ / "sub", root_ / "old-sub");
  fs::create_directory(root_ / "sub");
  EXPECT_EQ(dir->OpenChild("sub", &*before).error(), platform::kErrorAccessDenied);
  const auto after = dir->Stat("sub");
  ASSERT_TRUE(after);
  EXPECT_TRUE(dir->OpenChild("sub", &*after));
}

// Under Wine no removal can reach the link itself (every open, and so
// every deletion, lands on the target): the walk refuses it, and link and
// target both stay.
TEST_F(DirWalkTest, RemovingALinkLeavesItsTargetAlone) {
  auto dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  const platform::ErrorCode link_removal = LinksOpenAsThemselves() ? 0u : 50u;
  EXPECT_EQ(dir->RemoveSubdirectory("dirlink"), platform::kErrorDirectory);
  EXPECT_EQ(dir->RemoveFile("dirlink"), link_removal);
  // A rename moves the link, never the file it points at.
  EXPECT_EQ(dir->Rename("filelink", "moved"), link_removal);
  const char* file_link = LinksOpenAsThemselves() ? "moved" : "filelink";
  EXPECT_EQ(dir->RemoveFile(file_link), link_removal);
  EXPECT_EQ(dir->Exists("dirlink"), !LinksOpenAsThemselves());
  EXPECT_EQ(dir->Exists(file_link), !LinksOpenAsThemselves());
  EXPECT_EQ(testenv::ReadFile(outside_ / "keep"), "precious");
  EXPECT_TRUE(fs::is_directory(outside_));
}

// The codes the walk decides by: a directory refuses a file removal, a file a
// directory removal, and neither goes.
TEST_F(DirWalkTest, RemoveRenameAndExistence) {
  auto dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  Touch(root_ / "sub" / "inner");
  EXPECT_EQ(dir->RemoveSubdirectory("sub"), platform::kErrorDirNotEmpty);
  EXPECT_EQ(dir->RemoveFile("sub"), platform::kErrorAccessDenied);
  EXPECT_EQ(dir->RemoveSubdirectory("file"), platform::kErrorDirectory);
  EXPECT_TRUE(dir->Exists("sub"));
  EXPECT_TRUE(dir->Exists("file"));
  EXPECT_EQ(dir->Rename("file", "renamed"), 0u);
  EXPECT_FALSE(dir->Exists("file"));
  EXPECT_TRUE(dir->Exists("renamed"));
  EXPECT_EQ(dir->RemoveFile("file"), platform::kErrorFileNotFound);
  EXPECT_EQ(dir->Stat("file").error(), platform::kErrorFileNotFound);
  {
    auto sub = dir->OpenChild("sub");
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->RemoveFile("inner"), 0u);
  }
  // Without a handle of its own left open: on a Windows without the POSIX
  // deletion the name would stay until the last handle closes.
  EXPECT_EQ(dir->RemoveSubdirectory("sub"), 0u);
  EXPECT_FALSE(fs::exists(root_ / "sub"));
}

platform::ErrorCode RefuseLocked(const DirHandle& dir, const fs::path& name) {
  if (name == "file") return platform::kErrorSharingViolation;
  return platform::dir_walk::RealRemoveFile(dir, name);
}

TEST_F(DirWalkTest, RemoveStepCanBeReplacedAndRestored) {
  auto dir = DirHandle::Open(root_);
  ASSERT_TRUE(dir);
  Touch(root_ / "other");
  auto previous = platform::dir_walk::ExchangeRemoveFileFunction(&RefuseLocked);
  EXPECT_EQ(dir->RemoveFile("file"), platform::kErrorSharingViolation);
  EXPECT_EQ(dir->RemoveFile("other"), 0u);
  platform::dir_walk::ExchangeRemoveFileFunction(previous);
  EXPECT_TRUE(dir->Exists("file"));
  EXPECT_EQ(dir->RemoveFile("file"), 0u);
}

#ifdef _WIN32
TEST(SystemFoldersTest, HoldsTheWindowsFoldersAndTheProfile) {
  const auto folders = platform::dir_walk::SystemFolders();
  auto has = [&](const std::wstring& p) {
    return std::any_of(folders.begin(), folders.end(), [&](const std::wstring& f) {
      return platform::text::CompareNoCase(f, p) == 0;
    });
  };
  wchar_t buffer[MAX_PATH];
  ASSERT_GT(::GetWindowsDirectoryW(buffer, MAX_PATH), 0u);
  EXPECT_TRUE(has(buffer)) << buffer;
  ASSERT_GT(::GetSystemDirectoryW(buffer, MAX_PATH), 0u);
  EXPECT_TRUE(has(buffer)) << buffer;
  ASSERT_GT(::GetEnvironmentVariableW(L"USERPROFILE", buffer, MAX_PATH), 0u);
  EXPECT_TRUE(has(buffer)) << buffer;
}
#else
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

#endif

}  // namespace
