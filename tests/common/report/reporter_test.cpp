#include "common/report/reporter.h"

#include <atomic>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "common/report/params/start_reporting.h"
#include "qtbaseex/log/logger.h"
#include "sdk/skirra/skirra_client.h"
#include "support/child.h"
#include "support/debugger_capture.h"
#include "support/test_env.h"

namespace {

using nimbrel_report::Reporter;

const std::string kLinePrefix = "[SkirraReportLog][Event]";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Holds the reporter's worker inside the SDK (a getter is evaluated before
// the line is written) until opened, except on threads that marked
// themselves as senders. With the worker held, an event that shows up in the
// spool can only have been sent synchronously.
class WorkerGate {
 public:
  WorkerGate() : opened_(promise_.get_future().share()) {}
  ~WorkerGate() { Open(); }
  Reporter::Getters Getters() {
    std::shared_future<void> opened = opened_;
    return {{"gate", [opened] {
      if (!t_sender) opened.wait();
      return std::string("open");
    }}};
  }
  void Open() {
    if (!is_open_.exchange(true)) promise_.set_value();
  }
  // Opens from another thread once the calling thread is blocked (in the
  // worker's destruction).
  std::thread OpenWhenBlocked() {
    return testenv::WhenThreadBlocks(testenv::CurrentThreadId(), [this] { Open(); });
  }
  static inline thread_local bool t_sender = false;

 private:
  std::promise<void> promise_;
  std::shared_future<void> opened_;
  std::atomic<bool> is_open_{false};
};

class ReporterTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    // The gate holds only the worker: a send made by the test thread itself
    // passes (and shows up in the spool) instead of hanging.
    WorkerGate::t_sender = true;
    Reporter::Instance().ResetForTesting();
    Reporter::SetDebugModeForTesting(false);
  }
  void TearDown() override {
    Reporter::Instance().ResetForTesting();
    skirra::SkirraClient::UninitSDK();
    qtbaseex::log::Logger::Instance()->UnInitialize();
    Reporter::SetDebugModeForTesting(std::nullopt);
  }

  skirra::SkirraConfig Config() const {
    skirra::SkirraConfig config;
    config.app_key = "0XNA71QDKE4RWTCF";
    config.app_type = 1;
    config.data_directory = (home() / "appdata" / "4").string();
    return config;
  }
  void InitReporter(const Reporter::Getters& getters = {}) {
    Reporter::Instance().Init(Config(), {{"biz_id", "Quarrion"}}, getters);
  }
  void StartLog() { qtbaseex::log::Logger::Instance()->Initialize(); }
  std::string LogText() const {
    return testenv::ReadFile(qtbaseex::log::Logger::Instance()->FilePath());
  }
  std::vector<std::string> ReportLogLines() const {
    std::vector<std::string> found;
    for (const auto& line : Lines(LogText())) {
      if (line.find(kLinePrefix) != std::string::npos) found.push_back(line);
    }
    return found;
  }
  std::vector<nlohmann::json> Spool() const {
    std::vector<nlohmann::json> events;
    for (const auto& line : Lines(testenv::ReadFile(home() / "appdata" / "4" / skirra::kSpoolFileName))) {
      events.push_back(nlohmann::json::parse(line));
    }
    return events;
  }
  std::vector<std::string> SpoolEvents() const {
    std::vector<std::string> names;
    for (const auto& event : Spool()) names.push_back(event["event"]);
    return names;
  }
};

TEST_F(ReporterTest, EventBeforeInitIsNeitherLoggedNorSent) {
  Reporter::SetDebugModeForTesting(true);
  StartLog();
  // The SDK itself is ready, so only the reporter can keep the event out.
  skirra::SkirraClient::InitSDK(Config());
  Reporter::Instance().Report("too_early", {{"k", "v"}});
  EXPECT_EQ(Reporter::Instance().TakeWorker(), nullptr);
  skirra::SkirraClient::UninitSDK();
  EXPECT_TRUE(SpoolEvents().empty());
  EXPECT_TRUE(ReportLogLines().empty());
}

TEST_F(ReporterTest, MainThreadEventsAreQueuedAndAllSentInOrderWhenTheWorkerIsDestroyed) {
  WorkerGate gate;
  InitReporter(gate.Getters());
  for (int i = 0; i < 10; ++i) Reporter::Instance().Report("event_" + std::to_string(i), {{"n", std::to_string(i)}});
  // The worker is held inside the first event: nothing reached the spool,
  // so the main thread did not send anything itself.
  EXPECT_TRUE(SpoolEvents().empty());

  std::unique_ptr<nimbrel_report::TaskPool> worker = Reporter::Instance().TakeWorker();
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(Reporter::Instance().TakeWorker(), nullptr);
  std::thread opener = gate.OpenWhenBlocked();
  worker.reset();  // returns only after the queue has drained
  const auto events = Spool();
  opener.join();

  ASSERT_EQ(events.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(events[i]["event"], "event_" + std::to_string(i));
    EXPECT_EQ(events[i]["params"]["n"], std::to_string(i));
    EXPECT_EQ(events[i]["common"]["biz_id"], "Quarrion");
    EXPECT_EQ(events[i]["volatile"]["gate"], "open");
    EXPECT_EQ(events[i]["priority"], 0);
    EXPECT_EQ(events[i]["extra"], "");
  }
}

TEST_F(ReporterTest, EventFromAnotherThreadIsLoggedAndSentBeforeReportReturns) {
  Reporter::SetDebugModeForTesting(true);
  StartLog();
  WorkerGate gate;
  InitReporter(gate.Getters());
  Reporter::Instance().Report("queued", {});  // holds the worker

  std::vector<std::string> seen_events;
  std::vector<std::string> seen_log;
  std::thread other([&] {
    WorkerGate::t_sender = true;
    Reporter::Instance().Report("elsewhere", {{"from", "pool"}});
    seen_events = SpoolEvents();
    // The held worker may have logged "queued" already: look for ours.
    for (const auto& line : ReportLogLines()) {
      if (line.find("elsewhere") != std::string::npos) seen_log.push_back(line);
    }
  });
  other.join();
  gate.Open();
  Reporter::Instance().TakeWorker().reset();

  EXPECT_EQ(seen_events, std::vector<std::string>{"elsewhere"});
  ASSERT_EQ(seen_log.size(), 1u);
  EXPECT_TRUE(EndsWith(seen_log[0], kLinePrefix + R"(elsewhere, [Param]{"from":"pool"})")) << seen_log[0];
  EXPECT_EQ(SpoolEvents(), (std::vector<std::string>{"elsewhere", "queued"}));
}

TEST_F(ReporterTest, AfterTheWorkerIsTakenMainThreadEventsAreSentAtOnce) {
  InitReporter();
  Reporter::Instance().Report("before_stop", {});
  Reporter::Instance().TakeWorker().reset();
  Reporter::Instance().Report("after_stop", {{"k", "v"}});
  EXPECT_EQ(SpoolEvents(), (std::vector<std::string>{"before_stop", "after_stop"}));
}

TEST_F(ReporterTest, InitAgainDrainsThePreviousWorker) {
  WorkerGate gate;
  InitReporter(gate.Getters());
  for (int i = 0; i < 3; ++i) Reporter::Instance().Report("first_" + std::to_string(i), {});
  std::thread opener = gate.OpenWhenBlocked();
  InitReporter();  // replaces the held worker: must wait for its queue
  opener.join();
  EXPECT_EQ(SpoolEvents(), (std::vector<std::string>{"first_0", "first_1", "first_2"}));
  Reporter::Instance().Report("second", {});
  Reporter::Instance().TakeWorker().reset();
  EXPECT_EQ(SpoolEvents().back(), "second");
}

TEST_F(ReporterTest, DebugModeWritesOneVerbatimLinePerEvent) {
  Reporter::SetDebugModeForTesting(true);
  StartLog();
  InitReporter();
  Reporter& reporter = Reporter::Instance();
  testenv::DebuggerCapture debugger;
  reporter.SendNow("e", {{"k", "v"}});
  reporter.SendNow("no_params", {});
  reporter.SendNow("sorted", {{"b", "\xC3\xA9t\xC3\xA9"}, {"a", "say \"hi\"\\"}});
  // An invalid value is repaired by the round trip through the wide form.
  reporter.SendNow("bad_value", {{"k", "a\xFF" "b"}});
  // Keys are not repaired: the parameters cannot be serialised.
  reporter.SendNow("bad_key", {{"k\xFF", "v"}});

  const auto lines = ReportLogLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(EndsWith(lines[0], R"( [SkirraReportLog][Event]e, [Param]{"k":"v"})")) << lines[0];
  EXPECT_TRUE(EndsWith(lines[1], R"( [SkirraReportLog][Event]no_params, [Param]{})")) << lines[1];
  EXPECT_TRUE(EndsWith(lines[2], " [SkirraReportLog][Event]sorted, [Param]"
                                 R"({"a":"say \"hi\"\\","b":")" "\xC3\xA9t\xC3\xA9\"}"))
      << lines[2];
  EXPECT_TRUE(EndsWith(lines[3], " [SkirraReportLog][Event]bad_value, [Param]{\"k\":\"a\xEF\xBF\xBD" "b\"}"))
      << lines[3];
  EXPECT_TRUE(EndsWith(lines[4], " [SkirraReportLog][Event]bad_key, [Param]UNKNOWN")) << lines[4];
  for (const auto& line : lines) {
    EXPECT_NE(line.find("[I] [quarrion.main_controller]"), std::string::npos) << line;
  }
  // The same text, exactly, goes to the debugger output.
  const auto texts = debugger.texts();
  ASSERT_EQ(texts.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(texts[i], lines[i].substr(lines[i].find("[SkirraReportLog]")));
  }
  // The log line never costs the event.
  EXPECT_EQ(SpoolEvents(), (std::vector<std::string>{"e", "no_params", "sorted", "bad_value", "bad_key"}));
}

TEST_F(ReporterTest, WithoutDebugModeNoLineIsWrittenButEventsAreSent) {
  Reporter::SetDebugModeForTesting(false);
  StartLog();
  InitReporter();
  testenv::DebuggerCapture debugger;
  Reporter::Instance().SendNow("quiet", {{"k", "v"}});
  Reporter::Instance().Report("queued_quiet", {});
  Reporter::Instance().TakeWorker().reset();
  EXPECT_TRUE(ReportLogLines().empty());
  EXPECT_TRUE(debugger.texts().empty());
  EXPECT_EQ(SpoolEvents(), (std::vector<std::string>{"quiet", "queued_quiet"}));
}

TEST_F(ReporterTest, ConcurrentReportersLoseNothingAndKeepMainThreadOrder) {
  InitReporter();
  constexpr int kThreads = 4;
  constexpr int kEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) Reporter::Instance().Report("thread_" + std::to_string(t), {{"i", std::to_string(i)}});
    });
  }
  for (int i = 0; i < kEach; ++i) Reporter::Instance().Report("main", {{"i", std::to_string(i)}});
  for (auto& thread : threads) thread.join();
  Reporter::Instance().TakeWorker().reset();

  std::map<std::string, int> next;
  for (const auto& event : Spool()) {
    const std::string name = event["event"];
    EXPECT_EQ(event["params"]["i"], std::to_string(next[name]++)) << name;
  }
  ASSERT_EQ(next.size(), static_cast<std::size_t>(kThreads + 1));
  for (const auto& [name, count] : next) EXPECT_EQ(count, kEach) << name;
}

TEST_F(ReporterTest, StartReportingSpoolsIntoTheProductAnalyticsDirectory) {
  StartReporting();
  Reporter::Instance().Report("started", {{"k", "v"}});
  Reporter::Instance().TakeWorker().reset();
  const std::filesystem::path expected =
      base::gstring::ToPath(MultiInst::Instance()->GetAppdataNimbrelDirectory(4)) / skirra::kSpoolFileName;
  EXPECT_EQ(skirra::SkirraClient::SpoolPath(), expected);
  skirra::SkirraClient::UninitSDK();
  const std::string spool = testenv::ReadFile(expected);
  ASSERT_FALSE(spool.empty());
  const auto event = nlohmann::json::parse(Lines(spool).at(0));
  EXPECT_EQ(event["event"], "started");
  EXPECT_EQ(event["params"]["k"], "v");
}

}  // namespace
