#include "qtbaseex/helpers.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/process.h"
#include "platform/session.h"
#include "qtbaseex/qdebug_path.h"
#include "support/child.h"
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
