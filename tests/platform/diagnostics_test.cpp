// The debugger output: what reaches a listener, and the tracer check that
// decides whether the POSIX side writes a text at all.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/diagnostics.h"
#include "platform/system_text.h"
#include "support/debugger_capture.h"

namespace {

using platform::diagnostics::ParseTracerPid;

TEST(DebuggerOutput, ListenerGetsEveryTextAsUtf8) {
  {
    testenv::DebuggerCapture capture;
    platform::diagnostics::DebuggerOutput(std::string_view("narrow pkg=a free_mb=1\n"));
    platform::diagnostics::DebuggerOutput(std::wstring_view(L"[Event]e, [Param]{\"k\":\"gr\u00fc\u00df \U0001F600\"}"));
    platform::diagnostics::DebuggerOutput(std::string_view(""));
    EXPECT_EQ(capture.texts(),
              (std::vector<std::string>{"narrow pkg=a free_mb=1\n",
                                        "[Event]e, [Param]{\"k\":\"gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80\"}", ""}));
  }
  // Removed again: nothing is collected, and the call still returns.
  testenv::DebuggerCapture later;
  platform::diagnostics::SetDebuggerListener(nullptr);
  platform::diagnostics::DebuggerOutput(std::string_view("unheard"));
  EXPECT_TRUE(later.texts().empty());
}

TEST(DebuggerOutput, TracerPidOfAStatusText) {
  const std::string head = "Name:\tQuarrionUpdate.exe\nUmask:\t0022\nState:\tS (sleeping)\nPid:\t4711\nPPid:\t1\n";
  struct Case {
    const char* label;
    std::string text;
    std::optional<unsigned long> expected;
  };
  const Case cases[] = {
      {"no tracer", head + "TracerPid:\t0\nUid:\t0\t0\t0\t0\n", 0ul},
      {"traced", head + "TracerPid:\t31337\nUid:\t0\n", 31337ul},
      {"last line without its end", head + "TracerPid:  12", 12ul},
      {"no such line", head, std::nullopt},
      {"empty", "", std::nullopt},
      {"not a number", head + "TracerPid:\tx\n", std::nullopt},
      {"label inside another line is not it", "Name:\tTracerPid: 5\n", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseTracerPid(c.text), c.expected) << c.label;
  }
  // The kernel's own text of this process: a test runs untraced unless
  // someone debugs it, and either way the line is there.
  const auto own = platform::ReadSystemText("/proc/self/status");
  ASSERT_TRUE(own.ok());
  EXPECT_TRUE(ParseTracerPid(*own).has_value());
}

}  // namespace
