#include "common/utils/command_args.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "platform/launch.h"

namespace {

std::string Show(const std::wstring& text) { return base::gstring::ToUtf8(text); }

TEST(ArgumentWriters, WriteExactTexts) {
  EXPECT_EQ(FormatOptionArg(std::string_view("from")), L"--from ");
  EXPECT_EQ(FormatOptionArg(std::wstring_view(L"silent")), L"--silent ");
  EXPECT_EQ(QuoteArg(std::string_view("")), L"\"\" ");
  EXPECT_EQ(QuoteArg(std::wstring_view(L"")), L"\"\" ");
  // A backslash before a quote is doubled and the quote escaped.
  EXPECT_EQ(QuoteArg(std::string_view("a\\\"b")), L"\"a\\\\\\\"b\" ");
  // Backslashes elsewhere stay single, else the receiver would see them doubled.
  EXPECT_EQ(QuoteArg(std::wstring_view(L"C:\\x y\\z")), L"\"C:\\x y\\z\" ");
  EXPECT_EQ(QuoteArg(std::string_view("C:\\dir\\")), L"\"C:\\dir\\\\\" ");
  EXPECT_EQ(QuoteArg(std::string_view("\xc3\xa9")), L"\"\u00e9\" ");

  const std::map<std::string, std::string> options = {{"launch-proc-name", "Quarrion.exe"},
                                                      {"from", "6"}};
  EXPECT_EQ(BuildArgs(options), L"--from \"6\" --launch-proc-name \"Quarrion.exe\" ");
  const std::map<std::wstring, std::wstring> wide = {{L"silent", L""}, {L"Z", L"1"}};
  EXPECT_EQ(BuildArgs(wide), L"--Z \"1\" --silent \"\" ");
  EXPECT_EQ(BuildArgs(std::map<std::string, std::string>{}), L"");
  EXPECT_EQ(BuildArgs(std::map<std::wstring, std::wstring>{}), L"");
}

TEST(ArgumentWriters, QuotedValuesSplitBackByteForByte) {
  const std::vector<std::wstring> hostile = {
      L"",         L" ",          L"a b",        L"C:\\x",        L"C:\\Program Files\\",
      L"\\",       L"\\\\",       L"\"",         L"\"\"",         L"a\\\"b",
      L"\\\\\"",   L"end\\\\\\",  L"\t tab\t",   L"x\"\\\"y\\",   L"--from",
      L"\u65e5\u672c \u00e9", L"quarrion://open?a=1&b=\"2\"", L"\\\\server\\share\\",
      L"\"\"\"",   L"a\"\"b",     L"\" \"",
  };
  std::wstring line;
  std::vector<std::wstring> expected;
  for (const std::wstring& value : hostile) {
    const std::wstring quoted = QuoteArg(std::wstring_view(value));
    EXPECT_EQ(platform::SplitCommandLine(quoted), std::vector<std::wstring>{value}) << Show(quoted);
    line += quoted;
    expected.push_back(value);
  }
  // All of them on one line, as BuildArgs writes them.
  EXPECT_EQ(platform::SplitCommandLine(line), expected);

  std::map<std::string, std::string> options;
  options["pseudo-protocol"] = "a\\\"b\\";
  options["launch-proc-name"] = "C:\\dir\\Quarrion.exe";
  const std::vector<std::wstring> want = {L"--launch-proc-name", L"C:\\dir\\Quarrion.exe",
                                          L"--pseudo-protocol", L"a\\\"b\\"};
  EXPECT_EQ(platform::SplitCommandLine(BuildArgs(options)), want);
}

// Random argument lists drawn mostly from the characters the rules treat
// specially (quotes, backslash runs, blanks, tabs), with empty values and any
// other code unit mixed in: writing them and splitting the text gives the
// list back, both with every argument quoted and with quotes only where
// needed, and with the first one read as a program name when it can be.
TEST(ArgumentWriters, RoundTripThroughTheSplitForRandomArguments) {
  std::mt19937 random(20261208);
  const std::wstring special = L"\"\\ \t";
  auto random_argument = [&] {
    std::wstring argument;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) {
      switch (random() % 5) {
        case 0:
        case 1:
          argument += special[random() % special.size()];
          break;
        case 2:
          argument.append(random() % 5, L'\\');  // a run of backslashes
          break;
        case 3:
          argument += static_cast<wchar_t>(L'a' + random() % 26);
          break;
        default:
          // Any code unit but NUL, which no command line can hold.
          argument += static_cast<wchar_t>(1 + random() % 0xD7FF);
          break;
      }
    }
    return argument;
  };
  for (int round = 0; round < 5000; ++round) {
    std::vector<std::wstring> arguments(1 + random() % 5);
    for (auto& argument : arguments) argument = random_argument();

    for (const platform::Quoting quoting :
         {platform::Quoting::kAlways, platform::Quoting::kWhenNeeded}) {
      const std::wstring line = platform::JoinCommandLine(arguments, quoting);
      ASSERT_EQ(platform::SplitCommandLine(line), arguments) << Show(line);
    }
    std::wstring built;
    for (const auto& argument : arguments) built += QuoteArg(std::wstring_view(argument));
    ASSERT_EQ(platform::SplitCommandLine(built), arguments) << Show(built);
  }
}

// A program path is read by a rule of its own (quotes only group, no
// escapes): a quoted path holding blanks or backslashes stays one piece.
TEST(ArgumentWriters, ProgramPathsWithBlanksStayOnePiece) {
  const std::wstring program = L"/opt/Quarrion Apps/x\\y/QuarrionAssistant.exe";
  const std::wstring line =
      platform::QuoteCommandLineArgument(program) + L" " + QuoteArg(std::wstring_view(L"a\"b"));
  const std::vector<std::wstring> want = {program, L"a\"b"};
  EXPECT_EQ(platform::SplitCommandLine(line, /*first_is_program=*/true), want);
}

}  // namespace
