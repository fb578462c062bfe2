#include "common/report/kill_process_report.h"

#include <gtest/gtest.h>

#include <set>

#include "qtbaseex/log/categories.h"
#include "support/spool.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace kill_process_report {
namespace {

class KillProcessReportTest : public testenv::ProductTest {
 protected:
  testenv::SpoolReporter reporter_;
  testenv::LogCapture log_;
};

TEST_F(KillProcessReportTest, ReportsSuccessAndFailure) {
  ReportAndLogout("Quarrion.exe", 4242, "QuarrionUpdate", "update::RestartAppStore", 0);
  // Views that do not end in a NUL are used with their own length.
  const std::string long_text = "QuarrionUpdateXYZ update::ClearOldVersionXYZ";
  ReportAndLogout("/opt/q/QuarrionEmulator.exe", 7, std::string_view(long_text).substr(0, 14),
                  std::string_view(long_text).substr(18, 23), 5);

  const auto events = testenv::ReadEventParams("kill_process");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (std::map<std::string, std::string>{
                           {"proc_name", "Quarrion.exe"},
                           {"pid", "4242"},
                           {"process_killer_name", "QuarrionUpdate"},
                           {"process_kill_location", "update::RestartAppStore"},
                           {"success", "succ"},
                           {"error_code", "0"}}));
  EXPECT_EQ(events[1], (std::map<std::string, std::string>{
                           {"proc_name", "/opt/q/QuarrionEmulator.exe"},
                           {"pid", "7"},
                           {"process_killer_name", "QuarrionUpdate"},
                           {"process_kill_location", "update::ClearOldVersion"},
                           {"success", "fail"},
                           {"error_code", "5"}}));

  // The line is the pieces joined as they are: no quotes, no added blanks.
  const auto lines = log_.Find("[kill_process] killer : ", lc_utils().categoryName());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].type, QtInfoMsg);
  EXPECT_EQ(lines[0].message,
            "[kill_process] killer : QuarrionUpdate, target: Quarrion.exe, pid: 4242, "
            "location: update::RestartAppStore, success");
  EXPECT_EQ(lines[1].message,
            "[kill_process] killer : QuarrionUpdate, target: /opt/q/QuarrionEmulator.exe, "
            "pid: 7, location: update::ClearOldVersion, failed");
}

// Texts holding what QDebug would quote or escape (quotes, backslashes, a
// line break, non-ASCII) still appear exactly as they are.
TEST_F(KillProcessReportTest, LineCarriesEveryTextAsItIs) {
  ReportAndLogout("/opt/\"q\"\\x/\u00e9.exe", 1, "killer \"k\"", "where\\now", 0);
  const auto lines = log_.Find("[kill_process] killer : ", lc_utils().categoryName());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message,
            "[kill_process] killer : killer \"k\", target: /opt/\"q\"\\x/\u00e9.exe, pid: 1, "
            "location: where\\now, success");
}

TEST_F(KillProcessReportTest, EveryEndedProcessIsReportedOnce) {
  // A name no other test uses: the bulk kill acts on the whole machine.
  const std::string image = "QuarrionKillReportTest.exe";
  const auto program = testenv::InstallStandin(home() / "install" / "1.0.0.1", image);
  auto first = testenv::StartStandin(program);
  auto second = testenv::StartStandin(program);
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(second.valid());

  const unsigned count = InternalKillProcessWithReport(L"QuarrionKillReportTest.exe", "QuarrionUpdate",
                                                       "update::RestartAppStore", {}, 5000, 0);

  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(first.WaitForExit(5000));
  EXPECT_TRUE(second.WaitForExit(5000));
  const auto events = testenv::ReadEventParams("kill_process");
  ASSERT_EQ(events.size(), 2u);
  std::set<std::string> pids;
  for (const auto& event : events) {
    pids.insert(event.at("pid"));
    EXPECT_EQ(event.at("success"), "succ");
    EXPECT_EQ(event.at("process_killer_name"), "QuarrionUpdate");
    EXPECT_EQ(event.at("process_kill_location"), "update::RestartAppStore");
    const std::string& name = event.at("proc_name");
    ASSERT_GE(name.size(), image.size());
    EXPECT_EQ(name.substr(name.size() - image.size()), image);
  }
  EXPECT_EQ(pids, (std::set<std::string>{std::to_string(first.pid()), std::to_string(second.pid())}));
}

TEST_F(KillProcessReportTest, TemplateFormPassesEachOutcomeOnToTheCaller) {
  const auto program = testenv::InstallStandin(home() / "a", "QuarrionKillReportTest2.exe");
  auto process = testenv::StartStandin(program);
  ASSERT_TRUE(process.valid());
  const std::wstring_view names[] = {L"QuarrionKillReportTest2.exe", L"NoSuchProgram.exe"};
  std::vector<unsigned long> seen;

  InternalKillProcessWithReportT(std::span<const std::wstring_view>(names), "QuarrionUpdate",
                                 "test::Template", home() / "a", 5000, 0,
                                 [&](const std::filesystem::path&, unsigned long pid,
                                     unsigned long error) {
                                   EXPECT_EQ(error, 0u);
                                   seen.push_back(pid);
                                 });

  EXPECT_EQ(seen, std::vector<unsigned long>{process.pid()});
  EXPECT_EQ(testenv::ReadEventParams("kill_process").size(), 1u);
}

}  // namespace
}  // namespace kill_process_report
