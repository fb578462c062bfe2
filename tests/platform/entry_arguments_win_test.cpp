// The arguments the entry hands to main on Windows: the wide command line
// converted to the ANSI code page, byte for byte what the system's own
// narrow entry (the C runtime's argv) gets, characters outside the code page
// included.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/session.h"
#include "support/child.h"

namespace {

TEST(ChildBehaviour, CompareEntryArgumentsWithTheNarrowEntry) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by EntryArgumentsTest";
  const auto arguments = platform::EntryArguments();
  if (!arguments) std::_Exit(3);
  // gtest keeps main's argv as it came, its own flags included.
  std::_Exit(*arguments == ::testing::internal::GetArgvs() ? 0 : 1);
}

TEST(EntryArgumentsTest, MatchTheSystemsNarrowEntry) {
  testenv::ChildOptions options;
  options.arguments = {"plain", "with blank", "quote\"inside", "trailing\\", "",
                       "caf\xc3\xa9",          // in the Western code page
                       "\xe2\x82\xac",          // the euro sign: 0x80 there
                       "\xe6\x97\xa5\xe6\x9c\xac"};  // outside it
  testenv::Child child = testenv::StartBehaviour("CompareEntryArgumentsWithTheNarrowEntry", options);
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));
}

}  // namespace
