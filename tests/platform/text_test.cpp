#include "platform/text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

using platform::text::CompareNoCase;
using platform::text::FromUtf8;
using platform::text::PathFromWide;
using platform::text::ToLower;
using platform::text::ToUtf8;
using platform::text::WideFromPath;

TEST(TextTest, RoundTripsEveryPlane) {
  const std::wstring wide = L"A\u00e9\u4e2d\U0001F600z";
  const std::string utf8 = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";
  EXPECT_EQ(ToUtf8(wide), utf8);
  EXPECT_EQ(FromUtf8(utf8), wide);
  EXPECT_EQ(ToUtf8(L""), "");
  EXPECT_EQ(FromUtf8(""), L"");
  // Embedded NULs are text like any other.
  EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(TextTest, InvalidUtf8BecomesReplacementPerMaximalSubpart) {
  struct Case {
    std::string in;
    std::wstring out;
  } cases[] = {
      {"\xC3", L"\uFFFD"},                                 // truncated
      {"a\xE2\x82" "b", L"a\uFFFDb"},                      // truncated inside, text goes on
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                       // overlong '/'
      {"\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},             // overlong, three bytes
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},             // an encoded surrogate
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},   // above U+10FFFF
      {"\xFF" "x", L"\uFFFDx"},
      {"\x80\x80", L"\uFFFD\uFFFD"},                       // stray continuation bytes
      {"\xF0\x9F\x98", L"\uFFFD"},                         // emoji cut short
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FromUtf8(c.in), c.out) << "input of " << c.in.size() << " bytes";
  }
}

TEST(TextTest, InvalidWideBecomesReplacement) {
  std::wstring lone;
  lone.push_back(static_cast<wchar_t>(0xD800));
  lone.push_back(L'x');
  EXPECT_EQ(ToUtf8(lone), "\xEF\xBF\xBDx");
  if constexpr (sizeof(wchar_t) == 4) {
    std::wstring big(1, static_cast<wchar_t>(0x110000));
    EXPECT_EQ(ToUtf8(big), "\xEF\xBF\xBD");
  }
}

TEST(TextTest, PathsConvertWithoutTheLocale) {
  // Under the C locale std::filesystem's own wide conversion throws on
  // these; ours must not.
  std::setlocale(LC_ALL, "C");
  const std::wstring wide = L"/tmp/Gr\u00fc\u00dfe/\u4e2d.txt";
  const std::filesystem::path p = PathFromWide(wide);
#ifdef _WIN32
  EXPECT_EQ(p.native(), wide);  // paths are wide there already
#else
  EXPECT_EQ(p.native(), "/tmp/Gr\xC3\xBC\xC3\x9F" "e/\xE4\xB8\xAD.txt");
#endif
  EXPECT_EQ(WideFromPath(p), wide);
#ifndef _WIN32
  // A file name that is not UTF-8 at all still converts.
  const std::filesystem::path raw("/tmp/bad\xFFname");
  EXPECT_EQ(WideFromPath(raw), L"/tmp/bad\uFFFDname");
#endif
}

TEST(TextTest, CompareNoCaseFoldsBeyondAscii) {
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(CompareNoCase(L"QuarrionUpdate.EXE", L"quarrionupdate.exe"), 0);
  EXPECT_EQ(CompareNoCase(L"\u00c4RGER \u00c9T\u00c9", L"\u00e4rger \u00e9t\u00e9"), 0);
  EXPECT_EQ(CompareNoCase(L"\u041f\u0420\u0418\u0412\u0415\u0422", L"\u043f\u0440\u0438\u0432\u0435\u0442"), 0);
  EXPECT_EQ(CompareNoCase(L"\u0393\u0395\u0399\u0391", L"\u03b3\u03b5\u03b9\u03b1"), 0);
  EXPECT_EQ(CompareNoCase(L"\u0141\u00d3D\u0179", L"\u0142\u00f3d\u017a"), 0);  // Latin Extended-A
  // Not equal: different letters, and the multiplication sign is no letter.
  EXPECT_NE(CompareNoCase(L"\u00d7", L"\u00f7"), 0);
  EXPECT_NE(CompareNoCase(L"abc", L"abd"), 0);
  // Ordering is by folded text, shorter first on a common prefix.
  EXPECT_LT(CompareNoCase(L"a", L"B"), 0);
  EXPECT_GT(CompareNoCase(L"b", L"A"), 0);
  EXPECT_LT(CompareNoCase(L"abc", L"ABCD"), 0);
  EXPECT_EQ(ToLower(L"\u00c0\u00c9\u00ceX\u0178"), L"\u00e0\u00e9\u00eex\u00ff");
}

}  // namespace
