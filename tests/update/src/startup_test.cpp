// The built helper, started as its callers start it, in a sandbox machine.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_env.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "quarrion-user.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Runs the helper with exactly `args` (raw bytes, argv[0] included) and an
// environment without any display, whose user directories all point at
// `user_dir`. Returns the wait status.
int RunHelper(const std::vector<std::string>& args, const fs::path& home,
              const fs::path& user_dir) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "QUARRION_HOME" || name == "HOME" || name.rfind("XDG_", 0) == 0 ||
        name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
        name == "TMPDIR") {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("QUARRION_HOME=" + home.string());
  env.push_back("HOME=" + user_dir.string());
  env.push_back("TMPDIR=" + (user_dir / "tmp").string());
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR"}) {
    env.push_back(std::string(name) + "=" + (user_dir / name).string());
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

// No process can have this id (Linux ids stay below 2^22), so the restart's
// unbounded wait for the old client ends at once.
constexpr const char* kGoneClientPid = "4194304";

std::vector<fs::path> LogFiles(const fs::path& home) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(home / "logs", ec)) files.push_back(entry.path());
  return files;
}

class HelperStartup : public testenv::ProductTest {
 protected:
  void SetUp() override {
    user_dir_ = MakeTempDir();
    ASSERT_FALSE(user_dir_.empty());
    fs::create_directories(user_dir_ / "tmp");
    // A real session has its runtime directory; Qt makes one in /tmp otherwise.
    fs::create_directories(user_dir_ / "XDG_RUNTIME_DIR");
    fs::permissions(user_dir_ / "XDG_RUNTIME_DIR", fs::perms::owner_all);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(user_dir_, ec);
  }
  // Everything the run left in the user's own directories.
  std::vector<std::string> OutsideWrites() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(user_dir_)) {
      if (entry.path() != user_dir_ / "tmp" && entry.path() != user_dir_ / "XDG_RUNTIME_DIR") {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }
  fs::path user_dir_;
};

TEST_F(HelperStartup, RunsThroughAndLogsItsCommandLineInsideTheHome) {
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--appstore-pid", kGoneClientPid}, home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  const std::string name = logs[0].filename().string();
  EXPECT_EQ(name.rfind("QuarrionUpdate_", 0), 0u) << name;
  const std::string text = testenv::ReadFile(logs[0]);
  const std::string wanted = "] " + program + " --appstore-pid " + kGoneClientPid + "\n";
  const auto at = text.find(wanted);
  ASSERT_NE(at, std::string::npos) << text;
  const std::size_t start = text.rfind('\n', at) + 1;
  const std::string line = text.substr(start, at + wanted.size() - start);
  EXPECT_NE(line.find("[I] [quarrion.app_launch] ["), std::string::npos) << line;
  EXPECT_NE(line.find("initialize.cpp:"), std::string::npos) << line;
  EXPECT_NE(line.find("boot::Initialize"), std::string::npos) << line;

  EXPECT_EQ(OutsideWrites(), std::vector<std::string>{});
}

TEST_F(HelperStartup, SurvivesArgumentsThatAreNotUtf8) {
  const std::string program = (testenv::BinDir() / "QuarrionUpdate.exe").string();
  const int status = RunHelper({program, "--pseudo-protocol", "q://\xff\xfe\xc3(", "--appstore-pid",
                                "\xe9t\xe9", "--from", "14\x80"},
                               home(), user_dir_);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<fs::path> logs = LogFiles(home());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(testenv::ReadFile(logs[0]).find("--pseudo-protocol q://"), std::string::npos);
  EXPECT_EQ(OutsideWrites(), std::vector<std::string>{});
}

}  // namespace
