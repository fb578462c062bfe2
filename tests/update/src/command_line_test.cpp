#include "command_line.h"

#include <gtest/gtest.h>

#include <QCommandLineParser>
#include <QStringList>
#include <map>
#include <string>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <cstdlib>
#include <optional>

#include "platform/session.h"
#include "support/child.h"

namespace {

const QStringList kNames = {QStringLiteral("appstore-pid"), QStringLiteral("launch-store-tray"),
                            QStringLiteral("pseudo-protocol"),
                            QStringLiteral("restore-language-restart-apps")};

// A parser set up the way the helper sets up its own, over `args`.
struct Parsed {
  explicit Parsed(QStringList args) {
    args.prepend(QStringLiteral("QuarrionUpdate.exe"));
    command_line::SetupParser(parser, kNames, args);
  }
  bool IsSet(const char* name) const { return parser.isSet(QString::fromLatin1(name)); }
  QString Value(const char* name) const { return parser.value(QString::fromLatin1(name)); }
  QCommandLineParser parser;
};

TEST(CommandLineSetup, AcceptsEveryWayOfWritingAnOptionWithItsValue) {
  const std::vector<QStringList> forms = {
      {"--appstore-pid=1234"}, {"--appstore-pid", "1234"}, {"-appstore-pid", "1234"},
      {"-appstore-pid=1234"},  {"positional", "--appstore-pid", "1234", "more"}};
  for (const QStringList& form : forms) {
    Parsed p(form);
    EXPECT_TRUE(p.IsSet("appstore-pid")) << form.join(' ').toStdString();
    EXPECT_EQ(p.Value("appstore-pid"), QStringLiteral("1234")) << form.join(' ').toStdString();
    EXPECT_FALSE(p.IsSet("pseudo-protocol"));
  }
  Parsed all({"--pseudo-protocol", "quarrion://open?id=1", "--launch-store-tray", "",
              "--restore-language-restart-apps", "1", "--appstore-pid", "7"});
  EXPECT_EQ(all.Value("pseudo-protocol"), QStringLiteral("quarrion://open?id=1"));
  EXPECT_TRUE(all.IsSet("launch-store-tray"));
  EXPECT_EQ(all.Value("launch-store-tray"), QString());
  EXPECT_TRUE(all.IsSet("restore-language-restart-apps"));
  EXPECT_EQ(all.Value("appstore-pid"), QStringLiteral("7"));
}

TEST(CommandLineSetup, AnOptionWithoutItsValueSwallowsTheNextArgument) {
  Parsed p({"--launch-store-tray", "--pseudo-protocol", "x"});
  EXPECT_TRUE(p.IsSet("launch-store-tray"));
  EXPECT_EQ(p.Value("launch-store-tray"), QStringLiteral("--pseudo-protocol"));
  EXPECT_FALSE(p.IsSet("pseudo-protocol"));

  // Last and valueless: still set, with an empty value.
  Parsed last({"--appstore-pid", "5", "--restore-language-restart-apps"});
  EXPECT_TRUE(last.IsSet("restore-language-restart-apps"));
  EXPECT_EQ(last.Value("restore-language-restart-apps"), QString());
  EXPECT_EQ(last.Value("appstore-pid"), QStringLiteral("5"));
}

TEST(CommandLineSetup, ErrorsLeaveTheGoodOptionsInPlace) {
  Parsed p({"--unknown", "--appstore-pid", "9", "-x", "--Pseudo-Protocol", "y"});
  EXPECT_EQ(p.Value("appstore-pid"), QStringLiteral("9"));
  EXPECT_FALSE(p.IsSet("pseudo-protocol"));  // names are case-sensitive
}

TEST(CommandLineSetup, DropsRemoteDebuggingPortWhereverItStands) {
  Parsed first({"--remote-debugging-port=9222", "--appstore-pid", "1"});
  EXPECT_EQ(first.Value("appstore-pid"), QStringLiteral("1"));

  // Between an option and its value: the value after it is taken instead.
  Parsed middle({"--appstore-pid", "--remote-debugging-port=0", "42"});
  EXPECT_EQ(middle.Value("appstore-pid"), QStringLiteral("42"));

  Parsed last({"--pseudo-protocol", "p", "--launch-store-tray", "--remote-debugging-port="});
  EXPECT_TRUE(last.IsSet("launch-store-tray"));
  EXPECT_EQ(last.Value("launch-store-tray"), QString());
  EXPECT_EQ(last.Value("pseudo-protocol"), QStringLiteral("p"));

  // Only the exact prefix is dropped.
  Parsed other({"--appstore-pid", "--Remote-Debugging-Port=1", "3"});
  EXPECT_EQ(other.Value("appstore-pid"), QStringLiteral("--Remote-Debugging-Port=1"));
}

TEST(IsFromValue14, ScansTheRawArguments) {
  struct Case {
    QStringList args;
    bool expected;
  };
  const std::vector<Case> cases = {
      {{"p", "--from", "14"}, true},
      {{"p", "--appstore-pid", "3", "--from", "14abc"}, true},
      {{"p", "--from", " +14"}, true},
      {{"p", "--from", "0014"}, true},
      {{"p", "--from=14"}, false},
      {{"p", "--FROM", "14"}, false},
      {{"p", "--from"}, false},
      {{"p", "x", "--from"}, false},
      {{"p", "--from", "x"}, false},
      {{"p", "--from", "14.0x"}, true},
      {{"p", "--from", "-14"}, false},
      {{"p", "--from", "4294967310"}, false},  // 14 modulo 2^32: out of range, not 14
      {{"p", "--from", "99999999999999999999999"}, false},
      {{"p", "--from", ""}, false},
      {{"--from", "14"}, false},  // index 0 is the program
      {{"p", "--from", "6", "--from", "14"}, false},  // the first one decides
      {{}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(command_line::IsFromValue14(c.args), c.expected) << c.args.join(' ').toStdString();
  }
}

// Run as a child by IsFromValue14.ReadsWhatTheProcessWasStartedWith: builds
// the application object from its own raw arguments, as the helper's main
// does, and answers by exit code: 14 when the raw scan sees "--from 14",
// 15 when it does not; 2 when Qt did not take its options (nothing tested).
TEST(ChildBehaviour, ScanAfterQtTookItsOptions) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by IsFromValue14 in a child";
  const auto raw = platform::RawArguments();
  if (!raw) std::_Exit(3);
  std::vector<std::string> storage = *raw;
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(storage.size());
  QApplication application(argc, argv.data());
  // Qt took "-style" with "--from" as its value: the "--from" is gone.
  if (QCoreApplication::arguments().contains(QStringLiteral("--from"))) std::_Exit(2);
  std::_Exit(command_line::IsFromValue14() ? 14 : 15);
}

TEST(IsFromValue14, ReadsWhatTheProcessWasStartedWith) {
  testenv::ChildOptions options;
  options.arguments = {"-style", "--from", "14"};
  options.environment = testenv::EnvironmentWith({"QT_QPA_PLATFORM=offscreen"});
  testenv::Child child = testenv::StartBehaviour("ScanAfterQtTookItsOptions", options);
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(14u));

  options.arguments = {"-style", "--from", "13"};
  child = testenv::StartBehaviour("ScanAfterQtTookItsOptions", options);
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(15u));
}

}  // namespace
