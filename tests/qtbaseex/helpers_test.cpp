#include "qtbaseex/helpers.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/private_mounts_posix.h"
#include "platform/process.h"
#include "platform/session.h"
#include "qtbaseex/qdebug_path.h"
#include "support/child.h"
#include "support/log_recorder.h"
#include "support/test_env.h"

#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QString>
#include <cmath>
#include <fstream>
#include <unistd.h>

#include "base/gstring.h"
#include "platform/launch.h"
#include "qtbaseex/qdebug_ext.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using qtbaseex::file::SaveTextDatatoLocalFile;

std::wstring Wide(const fs::path& path) { return base::gstring::FromPath(path); }

std::size_t EntryCount(const fs::path& directory) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) ++n;
  return n;
}

class SaveTextTest : public testenv::ProductTest {};

TEST_F(SaveTextTest, CreatesTheDirectoryAndReplacesTheWholeContent) {
  const fs::path dir = home() / "shared" / "config";
  ASSERT_TRUE(SaveTextDatatoLocalFile("a long first version of the file", Wide(dir), "pkg.conf"));
  EXPECT_EQ(testenv::ReadFile(dir / "pkg.conf"), "a long first version of the file");

  ASSERT_TRUE(SaveTextDatatoLocalFile("short", Wide(dir), "pkg.conf"));
  EXPECT_EQ(testenv::ReadFile(dir / "pkg.conf"), "short");
  ASSERT_TRUE(SaveTextDatatoLocalFile("", Wide(dir), "empty.conf"));
  EXPECT_TRUE(fs::exists(dir / "empty.conf"));
  EXPECT_EQ(fs::file_size(dir / "empty.conf"), 0u);
  // No temporary file is left beside the targets.
  EXPECT_EQ(EntryCount(dir), 2u);
}

TEST_F(SaveTextTest, KeepsNonAsciiNamesAndBytesExact) {
  const fs::path dir = home() / u8"d\u00e9j\u00e0 \u65e5\u672c";
  const char raw[] = "{\"k\":\"\xe2\x82\xac\"}\n\0tail";
  const std::string text(raw, sizeof(raw) - 1);
  ASSERT_TRUE(SaveTextDatatoLocalFile(text, Wide(dir), "caf\xc3\xa9.conf"));
  EXPECT_EQ(testenv::ReadFile(dir / u8"caf\u00e9.conf"), text);
}

TEST_F(SaveTextTest, FailsCleanlyWhereNothingCanBeWritten) {
  const fs::path blocker = home() / "plain-file";
  std::ofstream(blocker) << "keep me";
  EXPECT_FALSE(SaveTextDatatoLocalFile("x", Wide(blocker / "sub"), "a.conf"));
  EXPECT_FALSE(SaveTextDatatoLocalFile("x", Wide(blocker), "a.conf"));
  EXPECT_EQ(testenv::ReadFile(blocker), "keep me");

  // A file name is not a way out of the directory.
  const fs::path dir = home() / "inner";
  EXPECT_FALSE(SaveTextDatatoLocalFile("x", Wide(dir), "../escaped.conf"));
  EXPECT_FALSE(fs::exists(home() / "escaped.conf"));
  EXPECT_FALSE(SaveTextDatatoLocalFile("x", Wide(dir), ""));

  if (::geteuid() != 0) {  // root writes anywhere
    const fs::path locked = home() / "locked";
    fs::create_directories(locked);
    std::ofstream(locked / "a.conf") << "old";
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(SaveTextDatatoLocalFile("new", Wide(locked), "a.conf"));
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(testenv::ReadFile(locked / "a.conf"), "old");
  }
}

// The shared folder is writable by others: a link or a second name planted
// at the guest file's name is replaced, and what it leads to keeps its bytes.
TEST_F(SaveTextTest, ReplacesPlantedLinksInsteadOfWritingThroughThem) {
  const fs::path dir = home() / "shared" / "config";
  const fs::path outside = home() / "elsewhere";
  fs::create_directories(dir);
  fs::create_directories(outside);
  std::ofstream(outside / "victim") << "victim bytes";
  std::ofstream(outside / "other-name") << "shared inode";
  fs::create_symlink(outside / "victim", dir / "linked.conf");
  fs::create_symlink(outside / "created-through-link", dir / "dangling.conf");
  fs::create_hard_link(outside / "other-name", dir / "hard.conf");

  for (const char* name : {"linked.conf", "dangling.conf", "hard.conf"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(SaveTextDatatoLocalFile("{\"guest\":1}", Wide(dir), name));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / name)));
    EXPECT_EQ(testenv::ReadFile(dir / name), "{\"guest\":1}");
  }
  EXPECT_EQ(testenv::ReadFile(outside / "victim"), "victim bytes");
  EXPECT_EQ(testenv::ReadFile(outside / "other-name"), "shared inode");
  EXPECT_FALSE(fs::exists(outside / "created-through-link"));
  EXPECT_EQ(EntryCount(dir), 3u);
}

// On a full file system (a small tmpfs of this test's own) the guest file
// keeps its old bytes, nothing is left beside it, and one line says which
// file and why.
TEST_F(SaveTextTest, AFullDiskKeepsTheOldGuestFile) {
  const fs::path dir = home() / "shared" / "config";
  fs::create_directories(dir);
  const std::string old_text = "{\"multipane\":{\"enable\":\"true\"}}";
  const std::string why = testenv::RunWithPrivateMounts([&] {
    ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=128k"), 0) << std::strerror(errno);
    std::ofstream(dir / "com.example.app.conf", std::ios::binary) << old_text;
    {
      std::ofstream filler(dir / "filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), static_cast<std::streamsize>(block.size())).flush()) {
      }
    }
    // Less than a page, and more than the file system holds.
    for (const std::size_t size : {std::size_t{16}, std::size_t{64 * 1024}}) {
      SCOPED_TRACE(size);
      testenv::LogRecorder log;
      EXPECT_FALSE(SaveTextDatatoLocalFile(std::string(size, 'n'), Wide(dir),
                                           "com.example.app.conf"));
      EXPECT_EQ(testenv::ReadFile(dir / "com.example.app.conf"), old_text);
      EXPECT_EQ(EntryCount(dir), 2u);
      const auto lines = log.Containing("save file failed: ");
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].message, "save file failed: " + (dir / "com.example.app.conf").string() +
                                      ", disk full (112)");
      EXPECT_EQ(lines[0].category, "quarrion.emulator_config");
    }
    testenv::Unmount(dir);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

// Run by CurrentCmd.IsTheRawCommandLine: writes CurrentCmd() to the file its
// environment names.
TEST(ChildBehaviour, WriteCurrentCmd) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by CurrentCmd.IsTheRawCommandLine";
  const auto out = platform::ReadEnvironmentVariable("QUARRION_TEST_CMD_FILE");
  if (!out) std::_Exit(3);
  std::ofstream(*out, std::ios::binary) << qtbaseex::process::CurrentCmd().toStdString();
  std::_Exit(0);
}

// The line is the process's own command line (not what the application
// object kept of it), written so that it splits back into the same
// arguments.
TEST(CurrentCmd, IsTheRawCommandLine) {
  const std::string file = (std::filesystem::temp_directory_path() /
                            ("quarrion-cmd-" + std::to_string(::getpid()))).string();
  testenv::ChildOptions options;
  options.arguments = {"two words", "say \"hi\"", "C:\\dir\\", "", "-style", "fusion",
                       "-reverse", "\u00e9"};
  options.environment = testenv::EnvironmentWith({"QUARRION_TEST_CMD_FILE=" + file});
  testenv::Child child = testenv::StartBehaviour("WriteCurrentCmd", options);
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
  const std::string cmd = testenv::ReadFile(file);
  std::filesystem::remove(file);

  std::vector<std::wstring> expected = {platform::CurrentExecutablePath().wstring(),
                                        L"--gtest_filter=ChildBehaviour.WriteCurrentCmd"};
  for (const auto& argument : options.arguments) {
    expected.push_back(QString::fromStdString(argument).toStdWString());
  }
  EXPECT_EQ(platform::SplitCommandLine(QString::fromStdString(cmd).toStdWString()), expected)
      << cmd;
  EXPECT_NE(cmd.find(" \"two words\" \"say \\\"hi\\\"\" C:\\dir\\ \"\" -style fusion -reverse "),
            std::string::npos)
      << cmd;
}

TEST(ToWString, ConvertsUtf8AndNeverThrowsOnBadBytes) {
  EXPECT_EQ(qtbaseex::gstring::ToWString("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80"),
            std::wstring(L"gr\u00fc\u00df \U0001F600"));
  std::wstring bad;
  EXPECT_NO_THROW(bad = qtbaseex::gstring::ToWString("a\xff\xc3"));
  EXPECT_EQ(bad.substr(0, 1), L"a");
  EXPECT_GE(bad.size(), 2u);
}

// The offscreen platform's screen has a made-up size; a real display's
// diagonal is checked under X (screen_facts_test.cpp).
TEST(ScreenInch, IsNoneForTheHeadlessPlatformsScreen) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr) << "the offscreen platform has one screen";
  const QSizeF mm = screen->physicalSize();
  ASSERT_GT(std::hypot(mm.width(), mm.height()), 0.0);
  EXPECT_EQ(qtbaseex::monitor::GetScreenPhysicalInch(), 0.0);
}

// Strings and paths are appended as text: no quotes, no escapes, whatever
// the stream's quoting; Qt's spacing between pieces stays.
TEST(QDebugText, StdStringsAndPathsStreamAsText) {
  QString out;
  QDebug(&out) << std::string("two words") << std::string_view("v\xc3\xa9w") << 1;
  EXPECT_EQ(out, QStringLiteral("two words v\u00e9w 1 "));

  out.clear();
  QDebug(&out) << std::string("say \"hi\"\n") << QStringLiteral("q");
  // The quoting setting is left as it was for the pieces after.
  EXPECT_EQ(out, QStringLiteral("say \"hi\"\n \"q\" "));

  out.clear();
  const std::string_view head = std::string_view("abcdef").substr(0, 3);
  QDebug(&out).noquote().nospace() << head << 1;
  EXPECT_EQ(out, QStringLiteral("abc1"));

  out.clear();
  QDebug(&out) << "removing directory: " << std::filesystem::path("/opt/a \"b\"/\xc3\xa9\\x");
  EXPECT_EQ(out, QStringLiteral("removing directory:  /opt/a \"b\"/\u00e9\\x "));
  out.clear();
  QDebug(&out).nospace() << std::filesystem::path() << "|";
  EXPECT_EQ(out, QStringLiteral("|"));
}

}  // namespace
