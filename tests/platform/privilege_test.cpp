#include "platform/privilege.h"

#include <gtest/gtest.h>

namespace {

using platform::privilege::Lower;
using platform::privilege::Privilege;
using platform::privilege::Raise;

// Raise tells whether it switched the privilege on (the caller then lowers
// it), Lower switches it off, and both leave it as they say.
TEST(PrivilegeTest, RaiseSaysWhetherItSwitchedOnAndLowerSwitchesOff) {
  const auto first = Raise(Privilege::kDebug);
  if (!first && first.error() == platform::privilege::kErrorNotAllAssigned) {
    GTEST_SKIP() << "this process may not hold the privilege";
  }
  ASSERT_TRUE(first) << first.error();
  const bool was_on = !*first;

  const auto again = Raise(Privilege::kDebug);
  ASSERT_TRUE(again) << again.error();
  EXPECT_FALSE(*again);  // on already

  ASSERT_TRUE(Lower(Privilege::kDebug));
  const auto after_lower = Raise(Privilege::kDebug);
  ASSERT_TRUE(after_lower) << after_lower.error();
  EXPECT_TRUE(*after_lower);  // it was off again

  ASSERT_TRUE(Lower(Privilege::kDebug));
  EXPECT_TRUE(Lower(Privilege::kDebug));  // lowering what is off is no error
  if (was_on) ASSERT_TRUE(Raise(Privilege::kDebug));
}

}  // namespace
