#include "update/old_version_cleanup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "platform/dir_walk.h"
#include "platform/private_mounts_posix.h"
#include "platform/registry.h"
#include "support/spool.h"
#include "support/test_env.h"
#include "update/src/update/sandbox.h"

namespace fs = std::filesystem;

namespace {

// A fake home and XDG folders for the whole program, set before the protected
// set is first built, so refusing them can be checked on files of our own.
class FakeUserFolders : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarrion-user.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "home" / ".config");
    fs::create_directories(dir_ / "data");
    ::setenv("HOME", (dir_ / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    // A protected folder that is named like an old version of an install root.
    fs::create_directories(ProtectedVersion());
    ::setenv("XDG_CONFIG_DIRS", ProtectedVersion().c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static fs::path Root() { return dir_; }
  static fs::path ProtectedVersion() { return dir_ / "system-install" / "0.9.0.0"; }

 private:
  static inline fs::path dir_;
};

const auto* const g_user_folders = ::testing::AddGlobalTestEnvironment(new FakeUserFolders);

using sandbox::Names;
using sandbox::Snapshot;
using sandbox::Write;

struct Outcome {
  std::string path;
  bool removed;
  int err;
};

class Recorder {
 public:
  update::RemoveResult Callback() {
    return [this](const fs::path& p, bool removed, util::filesystem::err err) {
      outcomes.push_back({p.string(), removed, err});
      return true;
    };
  }
  std::vector<Outcome> outcomes;
};

// The product programs looked for in every removed version, in the order
// they are ended and removed.
const std::vector<std::string> kImageTable = {
    "NimbrelAiAssistant.exe", "NimbrelAiDocSeeker.exe", "QuarrionAssistantToast.exe",
    "NimbrelDlSvr.exe",       "NimbrelInstaller.exe",   "QuarrionLauncher.exe",
    "QuarrionVfs.exe",        "NimbrelUpdate.exe",      "QuarrionAssistant.exe",
    "QuarrionEmulator.exe",   "Quarrion.exe",           "QuarrionVm.exe",
    "QuarrionService.exe",
};

// The path a cleanup line names (the stream quotes it).
// The path a line names after its "text: " (written as text, or quoted).
fs::path QuotedPath(const std::string& message) {
  const auto first = message.find('"');
  const auto last = message.rfind('"');
  if (first != std::string::npos && last > first) return message.substr(first + 1, last - first - 1);
  const auto colon = message.find(": ");
  if (colon == std::string::npos) return {};
  const auto start = message.find_first_not_of(' ', colon + 1);
  return start == std::string::npos ? fs::path() : fs::path(message.substr(start));
}

// "remove file force: " warnings grouped by the folder of the file they name.
std::map<fs::path, std::vector<std::string>> ForcedRemovals(const testenv::LogCapture& log) {
  std::map<fs::path, std::vector<std::string>> out;
  for (const auto& line : log.StartingWith("remove file force: ")) {
    EXPECT_EQ(line.type, QtWarningMsg) << line.message;
    EXPECT_EQ(line.category, "quarrion.update") << line.message;
    const fs::path p = QuotedPath(line.message);
    out[p.parent_path()].push_back(p.filename().string());
  }
  return out;
}

const update::RemoveFilter kRemoveAll = [](const fs::path&) { return true; };
// Removes what it can and forces what stays, as the cleanup does.
const update::RemoveResult kForceDelete = [](const fs::path& p, bool removed,
                                             util::filesystem::err) {
  std::error_code ec;
  if (!removed) update::ForceDeleteFile(p, ec);
  return true;
};
// Used where a fault must not be able to delete anything real.
const update::RemoveFilter kKeepAll = [](const fs::path&) { return false; };

// The client's install root with the usual four versions.
class CleanupTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    root_ = home() / "install";
    sandbox::MakeVersions(root_);
    outside_ = home() / "outside";
    Write(outside_ / "precious.txt", "precious");
    Write(outside_ / "nested" / "more.txt", "more");
  }

  void SetCurrentVersion(const std::wstring& version) {
    sandbox::SetClientInstall(root_, version);
  }

  fs::path root_;
  fs::path outside_;
};

TEST_F(CleanupTest, RemovesOlderVersionsKeepsPreviousLogsAndLeavesTheRestAlone) {
  testenv::SpoolReporter reporter;
  Write(root_ / "1.0.0" / "a");           // three fields: not a version
  Write(root_ / "v1.0.0.0" / "a");        // not a version
  Write(root_ / "1.0.0.0-old" / "a");     // reads as 1.0.0.0: removed
  Write(root_ / "0.0.0.1", "a file");     // a file, never a version directory
  const auto current = Snapshot(root_ / "1.0.0.3");
  const auto newer = Snapshot(root_ / "2.0.0.0");
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  EXPECT_EQ(Names(root_), (std::set<std::string>{"0.0.0.1", "1.0.0", "1.0.0.2", "1.0.0.3",
                                                 "2.0.0.0", "v1.0.0.0"}));
  EXPECT_EQ(Snapshot(root_ / "1.0.0.2"),
            (std::map<std::string, std::string>{{"logs", "<dir>"}, {"logs/last.log", "keep me"}}));
  EXPECT_EQ(Snapshot(root_ / "1.0.0.3"), current);
  EXPECT_EQ(Snapshot(root_ / "2.0.0.0"), newer);
  EXPECT_EQ(log.StartingWith("ClearOldVersion...").size(), 1u);
  EXPECT_EQ(log.Find("removing directory:", "quarrion.update").size(), 3u);
  EXPECT_TRUE(log.Find("invalid version directory").empty());
  EXPECT_TRUE(log.Find("failed to remove file").empty());
  // Each removed version is searched for every product program, in table
  // order; only those single files are logged, not the tree's removals.
  const auto forced = ForcedRemovals(log);
  EXPECT_EQ(forced.size(), 3u);
  for (const char* version : {"1.0.0.0-old", "1.0.0.1", "1.0.0.2"}) {
    const auto it = forced.find(root_ / version);
    ASSERT_NE(it, forced.end()) << version;
    EXPECT_EQ(it->second, kImageTable) << version;
  }
  // Nothing ran from the old versions, so nothing was killed.
  EXPECT_TRUE(testenv::ReadSpoolEvents("kill_process").empty());
}

// A number that does not fit a version field would wrap round when read
// (4294967296 as 0, -4294967295 as 1) and a folder named as a far newer
// version would go as an old one: such a name is no version and stays.
TEST_F(CleanupTest, NamesWithNumbersTooLargeForAVersionStay) {
  const std::vector<std::string> kept = {"4294967295.0.0.0", "4294967296.0.0.0",
                                         "1.0.4294967297.0", "-4294967295.0.0.0",
                                         "18446744073709551617.0.0.1"};
  for (const auto& name : kept) Write(root_ / name / "data", name);
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  for (const auto& name : kept) {
    EXPECT_EQ(Snapshot(root_ / name),
              (std::map<std::string, std::string>{{"data", name}})) << name;
  }
  EXPECT_FALSE(fs::exists(root_ / "1.0.0.1"));
  EXPECT_EQ(Names(root_ / "1.0.0.2"), (std::set<std::string>{"logs"}));
  EXPECT_EQ(log.Find("removing directory:", "quarrion.update").size(), 2u);
}

TEST_F(CleanupTest, LinksInsideAnOldVersionAreRemovedNeverFollowed) {
  testenv::SpoolReporter reporter;
  fs::create_directory_symlink(outside_, root_ / "1.0.0.1" / "to-outside");
  fs::create_directory_symlink(root_ / "1.0.0.3", root_ / "1.0.0.1" / "lib" / "to-current");
  fs::create_directory_symlink(FakeUserFolders::Root() / "home",
                               root_ / "1.0.0.2" / "res" / "to-home");
  fs::create_symlink(outside_ / "precious.txt", root_ / "1.0.0.2" / "file-link");
  fs::create_symlink(home() / "missing", root_ / "1.0.0.2" / "dangling");
  // A link named like an old version is not a version directory.
  fs::create_directory_symlink(outside_, root_ / "0.9.0.0");
  const auto outside = Snapshot(outside_);
  const auto current = Snapshot(root_ / "1.0.0.3");
  const auto user = Snapshot(FakeUserFolders::Root());

  update::internal::ClearOldVersionForTesting();

  EXPECT_EQ(Snapshot(outside_), outside);
  EXPECT_EQ(Snapshot(root_ / "1.0.0.3"), current);
  EXPECT_EQ(Snapshot(FakeUserFolders::Root()), user);
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "1.0.0.1")));
  EXPECT_EQ(Names(root_ / "1.0.0.2"), (std::set<std::string>{"logs"}));
  EXPECT_TRUE(fs::is_symlink(root_ / "0.9.0.0"));
}

// An install root moved elsewhere and linked back is still the install root:
// the caller named it, so that link is followed; links below it are not.
TEST_F(CleanupTest, AnInstallRootThatIsALinkIsCleanedThroughIt) {
  const fs::path linked = home() / "install-link";
  fs::create_directory_symlink(root_, linked);
  fs::create_directory_symlink(outside_, root_ / "1.0.0.1" / "to-outside");
  sandbox::SetClientInstall(linked, L"1.0.0.3");
  const auto current = Snapshot(root_ / "1.0.0.3");
  const auto outside = Snapshot(outside_);
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  EXPECT_EQ(Names(root_), (std::set<std::string>{"1.0.0.2", "1.0.0.3", "2.0.0.0"}));
  EXPECT_EQ(Names(root_ / "1.0.0.2"), (std::set<std::string>{"logs"}));
  EXPECT_EQ(Snapshot(root_ / "1.0.0.3"), current);
  EXPECT_EQ(Snapshot(outside_), outside);
  EXPECT_TRUE(fs::is_symlink(linked));
  EXPECT_TRUE(log.Find("failed to remove file").empty());
}

TEST_F(CleanupTest, ACurrentDirectoryThatIsNotAVersionRemovesNothing) {
  Write(root_ / "current" / "Quarrion.exe");
  const auto before = Snapshot(root_);
  for (const std::wstring version : {L"current", L"1.0.0.3/"}) {
    SetCurrentVersion(version);
    testenv::LogCapture log;
    update::internal::ClearOldVersionForTesting();
    const auto critical = log.Find("invalid version directory: ", "quarrion.update");
    ASSERT_EQ(critical.size(), 1u);
    EXPECT_EQ(critical[0].type, QtCriticalMsg);
    EXPECT_TRUE(log.Find("removing directory").empty());
    EXPECT_EQ(Snapshot(root_), before);
  }
}

TEST_F(CleanupTest, RootLevelAndProtectedPathsAreRefused) {
  const fs::path user_home = FakeUserFolders::Root() / "home";
  Write(user_home / "notes.txt", "mine");
  const auto user = Snapshot(FakeUserFolders::Root());
  Recorder rec;
  bool all = true;
  // A fault here must not be able to delete anything: the filter keeps all.
  EXPECT_TRUE(update::RemovePath("/", kKeepAll, rec.Callback(), &all));
  EXPECT_TRUE(update::RemovePath("/usr", kKeepAll, rec.Callback(), &all));
  EXPECT_TRUE(update::RemovePath("/etc/", kKeepAll, rec.Callback(), &all));
  EXPECT_TRUE(update::RemovePath("/usr/share/..", kKeepAll, rec.Callback(), &all));
  // Through a link to the root the resolved path is /usr as well.
  fs::create_directory_symlink("/", home() / "root-link");
  EXPECT_TRUE(update::RemovePath(home() / "root-link" / "usr", kKeepAll, rec.Callback(), &all));
  ASSERT_EQ(rec.outcomes.size(), 5u);
  for (const auto& o : rec.outcomes) {
    EXPECT_FALSE(o.removed) << o.path;
    EXPECT_EQ(o.err, util::filesystem::kRefused) << o.path;
  }

  // Our own files: the user's home, a folder holding it, the XDG data folder.
  rec.outcomes.clear();
  EXPECT_TRUE(update::RemovePath(user_home, kRemoveAll, rec.Callback(), &all));
  EXPECT_TRUE(update::RemovePath(FakeUserFolders::Root(), kRemoveAll, rec.Callback(), &all));
  EXPECT_TRUE(update::RemovePath(FakeUserFolders::Root() / "data/", kRemoveAll, rec.Callback(),
                                 &all));
  EXPECT_TRUE(update::RemovePath(user_home / ".config", kRemoveAll, rec.Callback(), &all));
  // A relative path climbing up to the home folder.
  const fs::path cwd_before = fs::current_path();
  fs::create_directories(user_home / ".config" / "deeper");
  fs::current_path(user_home / ".config" / "deeper");
  EXPECT_TRUE(update::RemovePath("../..", kKeepAll, rec.Callback(), &all));
  EXPECT_TRUE(update::RemovePath("../../", kKeepAll, rec.Callback(), &all));
  fs::current_path(cwd_before);
  fs::remove(user_home / ".config" / "deeper");
  ASSERT_EQ(rec.outcomes.size(), 6u);
  for (const auto& o : rec.outcomes) EXPECT_EQ(o.err, util::filesystem::kRefused) << o.path;
  EXPECT_EQ(Snapshot(FakeUserFolders::Root()), user);

  // Three characters or fewer: a root-level name.
  const fs::path cwd = fs::current_path();
  fs::current_path(home());
  Write(home() / "ab", "short");
  rec.outcomes.clear();
  update::RemovePath("ab", kRemoveAll, rec.Callback(), &all);
  fs::current_path(cwd);
  ASSERT_EQ(rec.outcomes.size(), 1u);
  EXPECT_EQ(rec.outcomes[0].err, util::filesystem::kRefused);
  EXPECT_EQ(testenv::ReadFile(home() / "ab"), "short");
}

TEST_F(CleanupTest, ProtectedFoldersHoldSystemHomeAndXdgFolders) {
  const auto& folders = update::ProtectedFolders();
  for (const std::wstring f : {L"/bin", L"/ETC", L"/usr", L"/var", L"/home", L"/proc"}) {
    EXPECT_EQ(folders.count(f), 1u) << base::gstring::ToUtf8(f);
  }
  EXPECT_EQ(folders.count(base::gstring::FromPath(FakeUserFolders::Root() / "home")), 1u);
  EXPECT_EQ(folders.count(base::gstring::FromPath(FakeUserFolders::Root() / "data")), 1u);
  EXPECT_EQ(folders.count(base::gstring::FromPath(FakeUserFolders::Root() / "home" / ".config")),
            1u);
  EXPECT_EQ(&folders, &update::ProtectedFolders());  // built once
}

TEST_F(CleanupTest, RemovePathReportsEachOutcomeAndHonoursFilterAndStop) {
  Recorder rec;
  bool all = true;
  EXPECT_TRUE(update::RemovePath(home() / "nothing", kRemoveAll, rec.Callback(), &all));
  ASSERT_EQ(rec.outcomes.size(), 1u);
  EXPECT_TRUE(rec.outcomes[0].removed);
  EXPECT_EQ(rec.outcomes[0].err, util::filesystem::kNotFound);

  // The filter keeps one file; its folders stay, everything else goes.
  const fs::path keep = root_ / "1.0.0.1" / "lib" / "deep" / "a.so";
  rec.outcomes.clear();
  all = true;
  EXPECT_TRUE(update::RemovePath(
      root_ / "1.0.0.1", [&](const fs::path& p) { return p != keep; }, rec.Callback(), &all));
  EXPECT_FALSE(all);
  EXPECT_EQ(Snapshot(root_ / "1.0.0.1"),
            (std::map<std::string, std::string>{
                {"lib", "<dir>"}, {"lib/deep", "<dir>"}, {"lib/deep/a.so", "data"}}));
  for (const auto& o : rec.outcomes) {
    EXPECT_TRUE(o.removed) << o.path;
    EXPECT_EQ(o.err, 0) << o.path;
  }
  EXPECT_EQ(rec.outcomes.size(), 3u);  // Quarrion.exe, logs/old.log, logs

  // A callback that asks to stop ends the walk at once.
  int calls = 0;
  EXPECT_FALSE(update::RemovePath(
      root_ / "1.0.0.2", kRemoveAll,
      [&](const fs::path&, bool, util::filesystem::err) { return ++calls < 1; }, &all));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(fs::exists(root_ / "1.0.0.2"));
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A folder that cannot be listed (here: no descriptor left to read it with)
// stays, with a warning, and the walk goes on with the rest.
TEST_F(CleanupTest, AFolderThatCannotBeListedStaysAndTheWalkGoesOn) {
  const fs::path tree = home() / "tree";
  fs::path deep = tree;
  for (int level = 0; level < 12; ++level) {
    deep /= "level" + std::to_string(level);
    Write(deep / "file");
  }
  for (int i = 0; i < 5; ++i) Write(tree / ("top" + std::to_string(i)));
  testenv::LogCapture log;
  Recorder rec;
  bool all = true;

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 6);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool went_on = update::RemovePath(tree, kRemoveAll, rec.Callback(), &all);
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_TRUE(went_on);
  EXPECT_FALSE(all);
  const auto warnings = log.StartingWith("failed to list directory: ");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].type, QtWarningMsg);
  // The folders on the way down stay; everything the walk could list went.
  EXPECT_TRUE(fs::exists(deep.parent_path()));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(fs::exists(tree / ("top" + std::to_string(i))));
  EXPECT_FALSE(fs::exists(tree / "level0" / "file"));
  for (const auto& o : rec.outcomes) {
    if (!o.removed) {
      EXPECT_EQ(o.err, util::filesystem::kStillPresent) << o.path;
    }
  }
  // With descriptors back, the same call finishes the job.
  all = true;
  EXPECT_TRUE(update::RemovePath(tree, kRemoveAll, rec.Callback(), &all));
  EXPECT_TRUE(all);
  EXPECT_FALSE(fs::exists(tree));
}

// Stands for a file held open by a running program.
constexpr char kLockedPart[] = "locked";
using LockedFiles = sandbox::RefusedRemovals<kLockedPart>;

std::vector<std::wstring> PendingDeletes() {
  auto value = platform::registry::ReadMultiString(
      platform::registry::Root::kLocalMachine,
      L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations");
  return value && *value ? **value : std::vector<std::wstring>{};
}

TEST_F(CleanupTest, ALockedFileIsMovedAsideAndScheduledOnceForReboot) {
  testenv::SpoolReporter reporter;
  Write(root_ / "1.0.0.1" / "bin" / "locked.dll", "in use");
  LockedFiles locked;
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  // Everything else went; the moved file keeps its folders alive.
  EXPECT_EQ(Names(root_ / "1.0.0.1"), (std::set<std::string>{"bin"}));
  const auto left = Names(root_ / "1.0.0.1" / "bin");
  ASSERT_EQ(left.size(), 1u);
  const std::string marked = *left.begin();
  EXPECT_TRUE(std::regex_match(marked, std::regex(R"(locked\.dll\.~del_[0-9a-f]{4})"))) << marked;
  EXPECT_EQ(testenv::ReadFile(root_ / "1.0.0.1" / "bin" / marked), "in use");
  const std::wstring expected =
      L"\\??\\" + base::gstring::FromPath(root_ / "1.0.0.1" / "bin" / marked);
  auto pending = PendingDeletes();
  std::erase(pending, std::wstring());  // each entry is (source, empty target)
  EXPECT_EQ(pending, std::vector<std::wstring>{expected});
  EXPECT_TRUE(log.Find("failed to remove file").empty());

  // The next run finds the marked file, leaves its name alone and says so.
  log.Clear();
  update::internal::ClearOldVersionForTesting();
  EXPECT_EQ(Names(root_ / "1.0.0.1" / "bin"), (std::set<std::string>{marked}));
  pending = PendingDeletes();
  std::erase(pending, std::wstring());
  EXPECT_EQ(pending.size(), 1u);
  EXPECT_EQ(log.Find("failed to remove file: ", "quarrion.update").size(), 1u);
}

// The product's service binary held open in the old version, under its own
// name and, once moved, under the marked one.
platform::ErrorCode RefuseServiceImage(const platform::dir_walk::DirHandle& dir,
                                       const fs::path& name) {
  if (std::strncmp(name.c_str(), "QuarrionService.exe", 19) == 0) {
    return platform::kErrorSharingViolation;
  }
  return platform::dir_walk::RealRemoveFile(dir, name);
}

TEST_F(CleanupTest, ALockedProgramFileIsMovedAsideByTheFileStepAndReportedByTheTreeStep) {
  testenv::SpoolReporter reporter;
  Write(root_ / "1.0.0.1" / "QuarrionService.exe", "service in use");
  const auto previous = platform::dir_walk::ExchangeRemoveFileFunction(&RefuseServiceImage);
  testenv::LogCapture log;
  update::internal::ClearOldVersionForTesting();
  platform::dir_walk::ExchangeRemoveFileFunction(previous);

  // Moved aside once, by the step for the program's file; that step counts
  // the move as a removal.
  const auto left = Names(root_ / "1.0.0.1");
  ASSERT_EQ(left.size(), 1u);
  const std::string marked = *left.begin();
  EXPECT_TRUE(std::regex_match(marked, std::regex(R"(QuarrionService\.exe\.~del_[0-9a-f]{4})")))
      << marked;
  EXPECT_EQ(testenv::ReadFile(root_ / "1.0.0.1" / marked), "service in use");
  EXPECT_EQ(ForcedRemovals(log)[root_ / "1.0.0.1"], kImageTable);
  auto pending = PendingDeletes();
  std::erase(pending, std::wstring());
  EXPECT_EQ(pending, std::vector<std::wstring>{
                         L"\\??\\" + base::gstring::FromPath(root_ / "1.0.0.1" / marked)});
  // The tree removal then meets the marked file, leaves it for the reboot and
  // says so; the folder holding it stays.
  const auto failed = log.StartingWith("failed to remove file: ");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].type, QtWarningMsg);
  EXPECT_EQ(QuotedPath(failed[0].message), root_ / "1.0.0.1" / marked);
}

// A protected folder is refused as a whole: neither removed nor moved aside,
// whatever its name says.
TEST_F(CleanupTest, AProtectedFolderNamedLikeAnOldVersionIsLeftUntouched) {
  const fs::path install = FakeUserFolders::ProtectedVersion().parent_path();
  const fs::path guarded = FakeUserFolders::ProtectedVersion();
  Write(guarded / "settings.conf", "system settings");
  Write(guarded / "sub" / "more.conf", "more");
  Write(install / "0.8.0.0" / "old.bin");
  Write(install / "1.0.0.3" / "current.bin");
  sandbox::SetClientInstall(install, L"1.0.0.3");
  const auto before = Snapshot(guarded);
  testenv::LogCapture log;

  update::internal::ClearOldVersionForTesting();

  EXPECT_EQ(Snapshot(guarded), before);
  EXPECT_EQ(Names(install), (std::set<std::string>{"0.9.0.0", "1.0.0.3"}));
  EXPECT_EQ(log.Find("removing directory: ").size(), 2u);
  EXPECT_TRUE(log.Find("failed to remove file").empty());
  EXPECT_TRUE(PendingDeletes().empty());
  std::error_code ec;
  fs::remove_all(install / "1.0.0.3", ec);
  fs::remove_all(guarded / "sub", ec);
  fs::remove(guarded / "settings.conf", ec);
}

TEST_F(CleanupTest, ForceDeleteFileOnItsOwn) {
  std::error_code ec;
  EXPECT_EQ(update::ForceDeleteFile(home() / "missing", ec), 0);
  Write(home() / "plain.txt");
  EXPECT_EQ(update::ForceDeleteFile(home() / "plain.txt", ec), 0);
  EXPECT_FALSE(fs::exists(home() / "plain.txt"));

  LockedFiles locked;
  Write(home() / "dir" / "locked.bin");
  EXPECT_EQ(update::ForceDeleteFile(home() / "dir" / "locked.bin", ec), 0);
  EXPECT_TRUE(ec);  // the plain removal's error
  const auto names = Names(home() / "dir");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names.begin()->rfind("locked.bin.~del_", 0), 0u);
  EXPECT_EQ(update::ForceDeleteFile(home() / "dir" / *names.begin(), ec), -10);
  EXPECT_EQ(Names(home() / "dir"), names);
}

// While the walk runs, another thread keeps exchanging a subfolder of the old
// version with a link to a folder outside the install root. Whatever the
// interleaving, the walk may only remove the link, never what it points at.
TEST_F(CleanupTest, SwappingAFolderForALinkDuringTheWalkNeverReachesItsTarget) {
  const fs::path sentinel = home() / "sentinel";
  for (int i = 0; i < 20; ++i) Write(sentinel / ("s" + std::to_string(i)), "sentinel");
  Write(sentinel / "inner" / "deep.txt", "sentinel");
  const auto expected = Snapshot(sentinel);

  constexpr int kRuns = 200;
  for (int run = 0; run < kRuns; ++run) {
    const fs::path version = root_ / "0.0.0.1";
    for (int d = 0; d < 2; ++d) {
      for (int f = 0; f < 2; ++f) {
        Write(version / ("d" + std::to_string(d)) / ("f" + std::to_string(f)));
      }
    }
    // Several folder/link pairs, so that every run offers several chances.
    std::vector<std::pair<fs::path, fs::path>> pairs;
    for (int v = 0; v < 4; ++v) {
      const fs::path victim = version / ("victim" + std::to_string(v));
      Write(victim / "v");
      Write(victim / "sub" / "x");
      const fs::path link = version / ("swap" + std::to_string(v));
      fs::create_directory_symlink(sentinel, link);
      pairs.emplace_back(victim, link);
    }

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop.load()) {
        for (const auto& [victim, link] : pairs) {
          if (::renameat2(AT_FDCWD, victim.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) !=
              0) {
            std::error_code ec;
            fs::create_directory_symlink(sentinel, link, ec);  // the walk took the link
            fs::create_directory_symlink(sentinel, victim, ec);
          }
        }
      }
    });
    bool all = true;
    update::RemovePath(version, kRemoveAll, kForceDelete, &all);
    stop = true;
    swapper.join();
    ASSERT_EQ(Snapshot(sentinel), expected) << "run " << run;
    std::error_code ec;
    fs::remove_all(version, ec);  // does not follow links either
  }
}

// A folder held once is reached through that handle only: moved away and
// replaced by a link to another folder, every removal below it still acts on
// the moved folder, and the link's target keeps everything.
TEST_F(CleanupTest, RemovalsInAHeldFolderFollowTheFolderNotItsPath) {
  const fs::path version = root_ / "1.0.0.1";
  const fs::path moved = root_ / "moved-away";
  Write(outside_ / "Quarrion.exe", "outside client");
  Write(outside_ / "lib" / "deep" / "a.so", "outside lib");
  Write(outside_ / "logs" / "old.log", "outside log");
  const auto outside = Snapshot(outside_);
  Recorder rec;
  bool all = true;
  {
    const update::HeldFolder held(version);
    EXPECT_TRUE(held.held());
    fs::rename(version, moved);
    fs::create_directory_symlink(outside_, version);

    EXPECT_TRUE(update::RemovePath(version / "Quarrion.exe", kRemoveAll, rec.Callback(), &all));
    EXPECT_TRUE(update::RemovePath(version / "lib" / "deep" / "a.so", kRemoveAll, rec.Callback(),
                                   &all));
    std::error_code ec;
    EXPECT_EQ(update::ForceDeleteFile(version / "logs" / "old.log", ec), 0);
    EXPECT_EQ(Snapshot(moved), (std::map<std::string, std::string>{
                                   {"lib", "<dir>"}, {"lib/deep", "<dir>"}, {"logs", "<dir>"}}));
    EXPECT_TRUE(update::RemovePath(version / "missing.exe", kRemoveAll, rec.Callback(), &all));
    EXPECT_TRUE(update::RemovePath(version, kRemoveAll, rec.Callback(), &all));
  }
  EXPECT_TRUE(all);
  EXPECT_EQ(Snapshot(outside_), outside);
  EXPECT_FALSE(fs::exists(fs::symlink_status(version)));  // the link went, as a link
  EXPECT_TRUE(Names(moved).empty());                       // the held folder was emptied
  ASSERT_GE(rec.outcomes.size(), 3u);
  EXPECT_EQ(rec.outcomes[0].err, util::filesystem::kRemoved);
  EXPECT_EQ(rec.outcomes[1].err, util::filesystem::kRemoved);
  EXPECT_EQ(rec.outcomes[2].path, (version / "missing.exe").string());
  EXPECT_EQ(rec.outcomes[2].err, util::filesystem::kNotFound);
}

// A folder that already is a link when it is held has nothing below it: only
// the link itself goes.
TEST_F(CleanupTest, AFolderThatIsALinkWhenHeldHasNothingBelowIt) {
  const fs::path version = root_ / "0.0.0.9";
  fs::create_directory_symlink(outside_, version);
  Write(outside_ / "Quarrion.exe", "outside client");
  const auto outside = Snapshot(outside_);
  Recorder rec;
  bool all = true;
  {
    const update::HeldFolder held(version);
    EXPECT_FALSE(held.held());
    EXPECT_TRUE(update::RemovePath(version / "Quarrion.exe", kRemoveAll, rec.Callback(), &all));
    EXPECT_TRUE(update::RemovePath(version / "nested", kRemoveAll, rec.Callback(), &all));
    std::error_code ec;
    EXPECT_EQ(update::ForceDeleteFile(version / "precious.txt", ec), 0);
    EXPECT_EQ(Snapshot(outside_), outside);
    EXPECT_TRUE(update::RemovePath(version, kRemoveAll, rec.Callback(), &all));
  }
  EXPECT_EQ(Snapshot(outside_), outside);
  EXPECT_FALSE(fs::exists(fs::symlink_status(version)));
  ASSERT_EQ(rec.outcomes.size(), 3u);
  EXPECT_EQ(rec.outcomes[0].err, util::filesystem::kNotFound);
  EXPECT_EQ(rec.outcomes[1].err, util::filesystem::kNotFound);
  EXPECT_EQ(rec.outcomes[2].err, util::filesystem::kRemoved);
}

fs::path g_flip;

// Turns the file `g_flip` into a folder with content just before it is
// removed, as if it had been swapped after the listing.
platform::ErrorCode FlipToAFolder(const platform::dir_walk::DirHandle& dir, const fs::path& name) {
  if (!g_flip.empty() && name == g_flip.filename()) {
    fs::remove(g_flip);
    Write(g_flip / "inner" / "x");
    Write(g_flip / "y");
    g_flip.clear();
  }
  return platform::dir_walk::RealRemoveFile(dir, name);
}

// The listing said "file" but the removal meets a folder: it is removed as a
// folder, contents first.
TEST_F(CleanupTest, AFileThatTurnedIntoAFolderIsRemovedAsAFolder) {
  const fs::path tree = root_ / "1.0.0.1";
  Write(tree / "lib" / "flip", "a file at listing time");
  g_flip = tree / "lib" / "flip";
  const auto previous = platform::dir_walk::ExchangeRemoveFileFunction(&FlipToAFolder);
  Recorder rec;
  bool all = true;
  update::RemovePath(tree, kRemoveAll, rec.Callback(), &all);
  platform::dir_walk::ExchangeRemoveFileFunction(previous);
  EXPECT_TRUE(g_flip.empty());  // the flip happened
  EXPECT_TRUE(all);
  EXPECT_FALSE(fs::exists(tree));
  std::set<std::string> removed;
  for (const auto& o : rec.outcomes) {
    if (o.removed) removed.insert(fs::path(o.path).lexically_relative(tree).string());
  }
  for (const char* p : {"lib/flip/inner/x", "lib/flip/inner", "lib/flip/y", "lib/flip"}) {
    EXPECT_EQ(removed.count(p), 1u) << p;
  }
}

// Every spelling of the user's home names the same folder: an old version
// folder that is the home stays, whatever way HOME writes it.
TEST_F(CleanupTest, AProtectedFolderIsRecognisedHoweverItsPathIsWritten) {
  const std::string saved_home = std::getenv("HOME");
  fs::create_directory_symlink(root_, home() / "root-link");
  const std::string root = root_.string();
  const std::vector<std::string> spellings = {
      root + "/1.0.0.1",         root + "//1.0.0.1",  root + "/./1.0.0.1",
      root + "/1.0.0.1/",        root + "/lib/../1.0.0.1",
      (home() / "root-link").string() + "/1.0.0.1",
  };
  for (const std::string& spelling : spellings) {
    Write(root_ / "1.0.0.1" / "notes.txt", "mine");
    Write(root_ / "1.0.0.1" / "sub" / "more.txt", "more");
    Write(root_ / "1.0.0.0" / "old.bin");
    ::setenv("HOME", spelling.c_str(), 1);
    update::internal::RebuildProtectedFoldersForTesting();

    update::internal::ClearOldVersionForTesting();

    ::setenv("HOME", saved_home.c_str(), 1);
    update::internal::RebuildProtectedFoldersForTesting();
    // The home is kept (the program files named in it aside); the other old
    // version went.
    EXPECT_EQ(Snapshot(root_ / "1.0.0.1"),
              (std::map<std::string, std::string>{{"lib", "<dir>"},
                                                  {"lib/deep", "<dir>"},
                                                  {"lib/deep/a.so", "data"},
                                                  {"logs", "<dir>"},
                                                  {"logs/old.log", "data"},
                                                  {"notes.txt", "mine"},
                                                  {"sub", "<dir>"},
                                                  {"sub/more.txt", "more"}}))
        << spelling;
    EXPECT_FALSE(fs::exists(root_ / "1.0.0.0")) << spelling;
  }
}

// While the cleanup runs, another thread keeps exchanging an old version
// folder with a link to a folder outside that holds the product's program
// files. Whatever the interleaving, nothing at the link's target goes. Every
// twentieth run is the whole cleanup (which also looks for running programs,
// a slow step); the others make the cleanup's removals of one version folder:
// the program files by name, then the tree.
TEST_F(CleanupTest, SwappingTheVersionFolderForALinkDuringTheCleanupNeverReachesItsTarget) {
  const fs::path sentinel = home() / "sentinel";
  for (const std::string& image : kImageTable) Write(sentinel / image, "sentinel");
  Write(sentinel / "lib" / "deep" / "a.so", "sentinel");
  const auto expected = Snapshot(sentinel);
  const fs::path version = root_ / "1.0.0.1";
  const fs::path link = root_ / "swap";

  constexpr int kRuns = 200;
  constexpr int kWholeCleanupEvery = 20;
  int swapped_runs = 0;
  for (int run = 0; run < kRuns; ++run) {
    Write(version / "Quarrion.exe", "old");
    Write(version / "lib" / "deep" / "a.so");
    fs::create_directory_symlink(sentinel, link);

    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
      while (!stop.load()) {
        if (::renameat2(AT_FDCWD, version.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) {
          ++swaps;
        }
      }
    });
    if (run % kWholeCleanupEvery == 0) {
      update::internal::ClearOldVersionForTesting();
    } else {
      const update::HeldFolder held(version);
      bool all = true;
      for (const std::string& image : kImageTable) {
        update::RemovePath(version / image, kRemoveAll, kForceDelete, &all);
      }
      update::RemovePath(version, kRemoveAll, kForceDelete, &all);
    }
    stop = true;
    swapper.join();
    if (swaps.load() > 0) ++swapped_runs;
    ASSERT_EQ(Snapshot(sentinel), expected) << "run " << run;
    std::error_code ec;
    fs::remove_all(version, ec);  // link or folder: remove_all follows no link
    fs::remove_all(link, ec);
  }
  EXPECT_GT(swapped_runs, 0);
}

// A folder of the same file system bind-mounted inside an old version keeps
// the device number, so only the kernel's mark tells it. It is never entered
// or emptied: not when the cleanup meets it, not when it appears while the
// walk runs, and not when the version folder itself is one.
TEST_F(CleanupTest, ABindMountInsideAnOldVersionIsNeverEnteredOrEmptied) {
  const fs::path sentinel = home() / "mounted";
  for (const std::string& image : kImageTable) Write(sentinel / image, "sentinel");
  Write(sentinel / "sub" / "deep.txt", "sentinel");
  const auto expected = Snapshot(sentinel);
  int runs = 0;

  const std::string skipped = testenv::RunWithPrivateMounts([&] {
    // The whole cleanup: a mount inside an old version and one on an old
    // version folder itself.
    const fs::path mounted_version = root_ / "0.0.0.5";
    fs::create_directories(mounted_version);
    ASSERT_TRUE(testenv::BindMount(sentinel, root_ / "1.0.0.1" / "lib"));
    ASSERT_TRUE(testenv::BindMount(sentinel, mounted_version));
    update::internal::ClearOldVersionForTesting();
    EXPECT_EQ(Snapshot(sentinel), expected);
    EXPECT_EQ(Names(root_ / "1.0.0.1"), (std::set<std::string>{"lib"}));
    EXPECT_TRUE(fs::exists(mounted_version));
    testenv::UnmountAllBelow(root_);
    ASSERT_EQ(Snapshot(sentinel), expected);

    // Mounts that come and go while the walk runs.
    const fs::path version = root_ / "0.0.0.1";
    constexpr int kRuns = 200;
    constexpr int kFolders = 4;
    for (int run = 0; run < kRuns; ++run) {
      std::vector<fs::path> targets;
      for (int d = 0; d < kFolders; ++d) {
        const fs::path folder = version / ("d" + std::to_string(d));
        Write(folder / "f");
        targets.push_back(folder);
      }
      fs::create_directories(version / "static");
      fs::create_directories(version / "d1" / "nested");
      ASSERT_TRUE(testenv::BindMount(sentinel, version / "static"));
      ASSERT_TRUE(testenv::BindMount(sentinel, version / "d1" / "nested"));

      std::atomic<bool> stop{false};
      std::thread mounter([&] {
        while (!stop.load()) {
          for (const fs::path& target : targets) {
            if (testenv::BindMount(sentinel, target)) testenv::Unmount(target);
          }
        }
      });
      bool all = true;
      {
        const update::HeldFolder held(version);
        update::RemovePath(version, kRemoveAll, kForceDelete, &all);
      }
      stop = true;
      mounter.join();
      EXPECT_FALSE(all) << "run " << run;  // the static mounts stay
      ASSERT_EQ(Snapshot(sentinel), expected) << "run " << run;
      // A mount point may have been moved aside under a marked name: every
      // mount below the install root goes before anything is removed.
      testenv::UnmountAllBelow(root_);
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(root_)) {
        if (entry.path().filename().string().rfind("0.0.0.1", 0) == 0) {
          fs::remove_all(entry.path(), ec);
        }
      }
      ++runs;
    }
  });
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  EXPECT_EQ(runs, 200);
  EXPECT_EQ(Snapshot(sentinel), expected);
}

}  // namespace
