// File, line and function must reach the log whatever the build type.
#ifndef QT_MESSAGELOGCONTEXT
#define QT_MESSAGELOGCONTEXT
#endif

#include "qtbaseex/log/logger.h"

#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qtbaseex/log/categories.h"
#include "qtbaseex/qdebug_ext.h"
#include "support/child.h"
#include "support/test_env.h"

namespace {

QStringList g_seen;

void RecordingHandler(QtMsgType, const QMessageLogContext&, const QString& message) {
  g_seen << message;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class LoggerTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    g_seen.clear();
    before_ = qInstallMessageHandler(&RecordingHandler);
  }
  void TearDown() override {
    qtbaseex::log::Logger::Instance()->UnInitialize();
    qInstallMessageHandler(before_);
  }
  QtMessageHandler before_ = nullptr;
};

TEST_F(LoggerTest, WritesEveryFieldOfALineIntoAFileUnderTheHome) {
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  const std::filesystem::path file = logger->FilePath();
  EXPECT_EQ(file.parent_path(), home() / "logs");
  const std::string name = file.filename().string();
  EXPECT_EQ(name.rfind("QuarrionUpdate_", 0), 0u) << name;
  EXPECT_TRUE(name.size() > 4 && name.substr(name.size() - 4) == ".log") << name;

  const int line = __LINE__ + 1;
  qCInfo(lc_update) << "RestartAppStore begin..." << std::string("pid:") << 42;
  qCWarning(lc_db).noquote() << std::string("open failed");
  qCCritical(lc_post) << "critical";
  qCDebug(lc_nvapi_perfs) << "debug";

  const std::string text = testenv::ReadFile(file);
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 4u) << text;
  const std::string where = std::string("[") + __FILE__ + ":" + std::to_string(line) + "]";
  EXPECT_NE(lines[0].find("[I] [quarrion.update] " + where), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("WritesEveryFieldOfALineIntoAFileUnderTheHome"), std::string::npos)
      << lines[0];
  // Qt's stream: one blank between items, std::string as text.
  EXPECT_TRUE(EndsWith(lines[0], "] RestartAppStore begin... pid: 42"))
      << lines[0];
  EXPECT_NE(lines[1].find("[W] [quarrion.db] "), std::string::npos) << lines[1];
  EXPECT_TRUE(EndsWith(lines[1], "] open failed")) << lines[1];
  EXPECT_NE(lines[2].find("[C] [quarrion.post] "), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("[D] [quarrion.nvapi_perfs] "), std::string::npos) << lines[3];
  // Time first: "yyyy-MM-dd hh:mm:ss.zzz ".
  ASSERT_GE(lines[0].size(), 24u);
  EXPECT_EQ(lines[0][4], '-');
  EXPECT_EQ(lines[0][10], ' ');
  EXPECT_EQ(lines[0][19], '.');
  EXPECT_EQ(lines[0][23], ' ');
  EXPECT_TRUE(g_seen.isEmpty()) << "the previous handler must not see logged lines";
}

TEST_F(LoggerTest, ALineBreakInAMessageCannotStartARecordOfItsOwn) {
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  qCInfo(lc_app_launch).noquote() << "QuarrionUpdate.exe --x a\n2026-01-01 00:00:00.000 [C] forged\rz";
  const std::vector<std::string> lines = Lines(testenv::ReadFile(logger->FilePath()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(EndsWith(lines[0], "--x a\\n2026-01-01 00:00:00.000 [C] forged\\rz")) << lines[0];
}

// Threads that outlive the main routine (the detached probes) log after the
// shutdown; their lines belong in the run's file, not in the previous handler.
TEST_F(LoggerTest, LinesAfterUnInitializeStillReachTheRunsFile) {
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  const std::filesystem::path file = logger->FilePath();
  qCInfo(lc_app_launch) << "inside";
  logger->UnInitialize();
  qCInfo(lc_app_launch) << "outside";

  const std::string text = testenv::ReadFile(file);
  EXPECT_NE(text.find("inside"), std::string::npos);
  EXPECT_NE(text.find("outside"), std::string::npos);
  EXPECT_TRUE(g_seen.isEmpty()) << g_seen.join('|').toStdString();

  // A second run of the sink starts over in the current home.
  testenv::ProductHome second;
  logger->Initialize();
  qCInfo(lc_app_launch) << "again";
  EXPECT_NE(logger->FilePath(), file);
  EXPECT_EQ(logger->FilePath().parent_path(), second.path() / "logs");
  EXPECT_NE(testenv::ReadFile(logger->FilePath()).find("again"), std::string::npos);
  EXPECT_EQ(testenv::ReadFile(file).find("again"), std::string::npos);
}

TEST_F(LoggerTest, WithoutALogFileMessagesStillReachThePreviousHandler) {
  std::ofstream(home() / "logs") << "a file where the directory should be";
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  qCWarning(lc_utils) << "not lost";
  // First a line that says why there is no file.
  ASSERT_EQ(g_seen.size(), 2) << g_seen.join('|').toStdString();
  EXPECT_TRUE(g_seen[0].startsWith(QString::fromStdString("log file " + (home() / "logs").string() + "/")))
      << g_seen[0].toStdString();
  EXPECT_TRUE(g_seen[0].contains(QStringLiteral("cannot be opened"))) << g_seen[0].toStdString();
  EXPECT_EQ(g_seen[1], QStringLiteral("not lost"));
  logger->UnInitialize();
  EXPECT_EQ(testenv::ReadFile(home() / "logs"), "a file where the directory should be");
}

// A file that stops taking lines (a full disk; here a file size limit) is
// given up: the messages that follow, starting with the one that failed, go
// to the previous handler after a line that says why, instead of vanishing.
TEST_F(LoggerTest, AFileThatCannotBeWrittenHandsTheMessagesOn) {
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  qCInfo(lc_app_launch) << "fits";
  const std::filesystem::path file = logger->FilePath();
  const auto size = std::filesystem::file_size(file);
  ASSERT_GT(size, 0u);

  struct sigaction ignore {}, old_action {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old_action), 0);
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = static_cast<rlim_t>(size + 16);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  qCWarning(lc_utils) << "too long for what is left of the file";
  qCInfo(lc_utils) << "and after it";
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::sigaction(SIGXFSZ, &old_action, nullptr);

  ASSERT_EQ(g_seen.size(), 3) << g_seen.join('|').toStdString();
  EXPECT_TRUE(g_seen[0].startsWith(QString::fromStdString("log file " + file.string() +
                                                          " cannot be written (")))
      << g_seen[0].toStdString();
  EXPECT_EQ(g_seen[1], QStringLiteral("too long for what is left of the file"));
  EXPECT_EQ(g_seen[2], QStringLiteral("and after it"));
  // What the file took before stays.
  EXPECT_NE(testenv::ReadFile(file).find("] fits\n"), std::string::npos);
}

TEST_F(LoggerTest, LinesFromManyThreadsStayWhole) {
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  constexpr int kThreads = 4;
  constexpr int kLines = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        qCInfo(lc_vm_utils).noquote().nospace() << "thread " << t << " line " << i << " end";
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::vector<std::string> lines = Lines(testenv::ReadFile(logger->FilePath()));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> per_thread(kThreads, 0);
  for (const std::string& line : lines) {
    const auto at = line.find("] thread ");
    ASSERT_NE(at, std::string::npos) << line;
    ASSERT_TRUE(EndsWith(line, " end")) << line;
    ASSERT_EQ(line.find("[I] [quarrion.vm_utils]"), 24u) << line;
    const int t = line[at + 9] - '0';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ++per_thread[t];
  }
  for (int count : per_thread) EXPECT_EQ(count, kLines);
}

// Run by LoggerTest.ADetachedThreadsLinesAfterShutdownAreInTheFile: a
// detached thread logs numbered lines across the shutdown of the log, and
// the process ends the way the helper's does, by returning through exit().
TEST(ChildBehaviour, LogAcrossShutdownFromADetachedThread) {
  if (!testenv::InChildBehaviour()) GTEST_SKIP() << "run by a logger test";
  constexpr int kEach = 40;
  static std::atomic<bool> shut_down{false};
  static std::atomic<bool> stop{false};
  static testenv::Handshake early, late, ended;
  auto* logger = qtbaseex::log::Logger::Instance();
  logger->Initialize();
  std::thread([] {
    int late_lines = 0;
    for (int i = 0; !stop.load(); ++i) {
      const bool after = shut_down.load();
      qCInfo(lc_app_launch).noquote().nospace() << (after ? "late " : "early ") << i << " end";
      if (i + 1 == kEach) early.Signal();
      if (after && ++late_lines == kEach) late.Signal();
    }
    ended.Signal();
  }).detach();
  if (!early.WaitFor(1)) std::_Exit(3);
  logger->UnInitialize();
  shut_down = true;
  if (!late.WaitFor(1)) std::_Exit(4);
  stop = true;
  if (!ended.WaitFor(1)) std::_Exit(5);
  std::exit(0);
}

TEST_F(LoggerTest, ADetachedThreadsLinesAfterShutdownAreInTheFile) {
  // Repeated: the loss depends on where the thread is when the log shuts down.
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE(run);
    const std::filesystem::path child_home = home() / ("run" + std::to_string(run));
    std::filesystem::create_directories(child_home);
    testenv::ChildOptions options;
    options.environment = testenv::EnvironmentWith({"QUARRION_HOME=" + child_home.string()});
    testenv::Child child = testenv::StartBehaviour("LogAcrossShutdownFromADetachedThread", options);
    ASSERT_TRUE(child.valid());
    ASSERT_EQ(child.Wait(60000), std::optional<std::uint32_t>(0u));

    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(child_home / "logs")) {
      files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1u);
    int expected = 0;
    int late = 0;
    for (const std::string& line : Lines(testenv::ReadFile(files[0]))) {
      const auto at = line.rfind("] ");
      ASSERT_NE(at, std::string::npos) << line;
      std::istringstream words(line.substr(at + 2));
      std::string phase, end;
      int number = -1;
      words >> phase >> number >> end;
      ASSERT_EQ(number, expected) << "a line is missing before: " << line;
      ASSERT_EQ(end, "end") << line;
      late += phase == "late" ? 1 : 0;
      ++expected;
    }
    ASSERT_GE(late, 40);
  }
}

TEST(Categories, NamesAreDistinctAndEveryLevelIsOn) {
  const QLoggingCategory* all[] = {&lc_app_launch(),  &lc_update(), &lc_vm_utils(),
                                   &lc_utils(),       &lc_db(),     &lc_emulator_config(),
                                   &lc_post(),        &lc_main_controller(), &lc_nvapi_perfs()};
  QStringList names;
  for (const QLoggingCategory* category : all) {
    names << QString::fromLatin1(category->categoryName());
    EXPECT_TRUE(category->isDebugEnabled()) << category->categoryName();
    EXPECT_TRUE(category->isInfoEnabled()) << category->categoryName();
    EXPECT_TRUE(category->isWarningEnabled()) << category->categoryName();
    EXPECT_TRUE(category->isCriticalEnabled()) << category->categoryName();
  }
  names.removeDuplicates();
  EXPECT_EQ(names.size(), 9);
  EXPECT_EQ(&lc_db(), &lc_db());
}

}  // namespace
