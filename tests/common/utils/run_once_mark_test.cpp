#include "common/utils/run_once_mark.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "base/multi_inst.h"
#include "support/child.h"
#include "support/test_env.h"

namespace {

// Run by RunOnceMarkTest in a second process of this program: tests the mark
// named by the environment and exits 10 (already set) or 11 (set now).
TEST(ChildBehaviour, RunOnceMarkTestAndSet) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "only run as the child of RunOnceMarkTest";
  const char* name = std::getenv("QUARRION_TEST_RUN_ONCE_MARK");
  if (name == nullptr) std::_Exit(3);
  MultiInst::Instance()->Init(L"Quarrion", 0);
  const bool was_set = RunOnceMark(std::wstring(name, name + std::strlen(name))).TestAndSet();
  std::_Exit(was_set ? 10 : 11);
}

class RunOnceMarkTest : public testenv::ProductTest {
 protected:
  // TestAndSet of `name` in another process.
  std::uint32_t TestAndSetInChild(const char* name) {
    testenv::ChildOptions options;
    options.environment =
        testenv::EnvironmentWith({std::string("QUARRION_TEST_RUN_ONCE_MARK=") + name});
    testenv::Child child = testenv::StartBehaviour("RunOnceMarkTestAndSet", options);
    EXPECT_TRUE(child.valid());
    return child.Wait(60000).value_or(0);
  }
};

TEST_F(RunOnceMarkTest, FalseOnceThenTrueAcrossProcesses) {
  RunOnceMark mark(L"ReplenishAppSource");
  EXPECT_FALSE(mark.TestAndSet());
  EXPECT_TRUE(mark.TestAndSet());
  EXPECT_TRUE(RunOnceMark(L"ReplenishAppSource").TestAndSet());
  EXPECT_EQ(TestAndSetInChild("ReplenishAppSource"), 10u);

  // Set by another process first.
  EXPECT_EQ(TestAndSetInChild("OtherMark"), 11u);
  EXPECT_TRUE(RunOnceMark(L"OtherMark").TestAndSet());
}

}  // namespace
