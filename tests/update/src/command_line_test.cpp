#include "command_line.h"

#include <gtest/gtest.h>

#include <QCommandLineParser>
#include <QStringList>
#include <map>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "platform/launch.h"

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

TEST(ArgumentWriters, WriteExactTexts) {
  EXPECT_EQ(command_line::FormatOptionArg(std::string_view("from")), L"--from ");
  EXPECT_EQ(command_line::FormatOptionArg(std::wstring_view(L"silent")), L"--silent ");
  EXPECT_EQ(command_line::QuoteArg(std::string_view("")), L"\"\" ");
  EXPECT_EQ(command_line::QuoteArg(std::wstring_view(L"")), L"\"\" ");
  // A backslash before a quote is doubled and the quote escaped.
  EXPECT_EQ(command_line::QuoteArg(std::string_view("a\\\"b")), L"\"a\\\\\\\"b\" ");
  // Backslashes elsewhere stay single, else the receiver would see them doubled.
  EXPECT_EQ(command_line::QuoteArg(std::wstring_view(L"C:\\x y\\z")), L"\"C:\\x y\\z\" ");
  EXPECT_EQ(command_line::QuoteArg(std::string_view("C:\\dir\\")), L"\"C:\\dir\\\\\" ");
  EXPECT_EQ(command_line::QuoteArg(std::string_view("\xc3\xa9")), L"\"\u00e9\" ");

  const std::map<std::string, std::string> options = {{"launch-proc-name", "Quarrion.exe"},
                                                      {"from", "6"}};
  EXPECT_EQ(command_line::BuildArgs(options), L"--from \"6\" --launch-proc-name \"Quarrion.exe\" ");
  const std::map<std::wstring, std::wstring> wide = {{L"silent", L""}, {L"Z", L"1"}};
  EXPECT_EQ(command_line::BuildArgs(wide), L"--Z \"1\" --silent \"\" ");
  EXPECT_EQ(command_line::BuildArgs(std::map<std::string, std::string>{}), L"");
  EXPECT_EQ(command_line::BuildArgs(std::map<std::wstring, std::wstring>{}), L"");
}

TEST(ArgumentWriters, QuotedValuesSplitBackByteForByte) {
  const std::vector<std::wstring> hostile = {
      L"",         L" ",          L"a b",        L"C:\\x",        L"C:\\Program Files\\",
      L"\\",       L"\\\\",       L"\"",         L"\"\"",         L"a\\\"b",
      L"\\\\\"",   L"end\\\\\\",  L"\t tab\t",   L"x\"\\\"y\\",   L"--from",
      L"\u65e5\u672c \u00e9", L"quarrion://open?a=1&b=\"2\"", L"\\\\server\\share\\",
  };
  std::wstring line;
  std::vector<std::wstring> expected;
  for (const std::wstring& value : hostile) {
    const std::wstring quoted = command_line::QuoteArg(std::wstring_view(value));
    EXPECT_EQ(platform::SplitCommandLine(quoted), std::vector<std::wstring>{value})
        << base::gstring::ToUtf8(quoted);
    line += quoted;
    expected.push_back(value);
  }
  // All of them on one line, as BuildArgs writes them.
  EXPECT_EQ(platform::SplitCommandLine(line), expected);

  std::map<std::string, std::string> options;
  options["pseudo-protocol"] = "a\\\"b\\";
  options["launch-proc-name"] = "C:\\dir\\Quarrion.exe";
  const std::vector<std::wstring> split = platform::SplitCommandLine(command_line::BuildArgs(options));
  const std::vector<std::wstring> want = {L"--launch-proc-name", L"C:\\dir\\Quarrion.exe",
                                          L"--pseudo-protocol", L"a\\\"b\\"};
  EXPECT_EQ(split, want);
}

}  // namespace
