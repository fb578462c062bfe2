// The parser over this process's own stat line, which only Linux publishes.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/proc_parse.h"
#include "platform/system_text.h"

namespace {

namespace proc = platform::proc;

TEST(ProcParseTest, StatOfThisProcessParses) {
  auto text = platform::ReadSystemText("/proc/self/stat");
  ASSERT_TRUE(text);
  const auto stat = proc::ParseProcStat(*text);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(stat->ppid, static_cast<std::uint32_t>(::getppid()));
  EXPECT_FALSE(stat->kernel_thread());
  EXPECT_NE(stat->env_start.value_or(0), 0u);
}

}  // namespace
