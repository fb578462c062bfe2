#include "sdk/skirra/skirra_client.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace {

using skirra::SkirraClient;
using skirra::SkirraConfig;

class SkirraClientTest : public testenv::ProductTest {
 protected:
  void TearDown() override { SkirraClient::UninitSDK(); }

  SkirraConfig Config() const {
    SkirraConfig config;
    config.app_key = "0XNA71QDKE4RWTCF";
    config.app_type = 1;
    config.data_directory = directory().string();
    config.enable_spool = true;
    return config;
  }
  std::filesystem::path directory() const { return home() / "appdata" / "4" / "skirra"; }
  std::filesystem::path spool() const { return directory() / skirra::kSpoolFileName; }

  // Every line must be one JSON object; a line that is not fails the test.
  std::vector<nlohmann::json> ReadSpool() const {
    std::vector<nlohmann::json> lines;
    std::istringstream in(testenv::ReadFile(spool()));
    std::string line;
    while (std::getline(in, line)) {
      auto parsed = nlohmann::json::parse(line, nullptr, false);
      if (parsed.is_discarded() || !parsed.is_object()) {
        ADD_FAILURE() << "not a JSON object line: " << line.substr(0, 200);
        continue;
      }
      lines.push_back(std::move(parsed));
    }
    return lines;
  }
};

TEST_F(SkirraClientTest, EachEventIsOneLineWithCommonParamsAndGetterValuesOfThatMoment) {
  SkirraClient::InitSDK(Config());
  EXPECT_EQ(SkirraClient::SpoolPath(), spool());
  SkirraClient::set_common_params({{"biz_id", "Quarrion"}, {"os_type", "3"}});
  std::atomic<int> counter{0};
  SkirraClient::set_common_param_getters({
      {"counter", [&] { return std::to_string(++counter); }},
      {"broken", []() -> std::string { throw std::runtime_error("probe failed"); }},
      {"unset", nullptr},
  });

  SkirraClient::Report("kill_process", {{"image", "Quarrion.exe"}, {"error", "5"}},
                       Skirra::kPriorityNormal, "");
  SkirraClient::Report("quit_process", {}, Skirra::kPriorityHigh, "extra text");
  SkirraClient::UninitSDK();

  const auto lines = ReadSpool();
  ASSERT_EQ(lines.size(), 2u);
  const auto& first = lines[0];
  EXPECT_EQ(first["seq"], 1);
  EXPECT_EQ(first["event"], "kill_process");
  EXPECT_EQ(first["params"], (nlohmann::json{{"image", "Quarrion.exe"}, {"error", "5"}}));
  EXPECT_EQ(first["common"], (nlohmann::json{{"biz_id", "Quarrion"}, {"os_type", "3"}}));
  EXPECT_EQ(first["volatile"], (nlohmann::json{{"counter", "1"}, {"broken", ""}, {"unset", ""}}));
  EXPECT_EQ(first["priority"], 0);
  EXPECT_EQ(first["extra"], "");
  EXPECT_EQ(first["pid"], static_cast<long long>(::getpid()));
  EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
      << first["time"];

  const auto& second = lines[1];
  EXPECT_EQ(second["seq"], 2);
  EXPECT_EQ(second["event"], "quit_process");
  EXPECT_EQ(second["params"], nlohmann::json::object());
  EXPECT_EQ(second["volatile"]["counter"], "2");  // called again for this event
  EXPECT_EQ(second["priority"], 1);
  EXPECT_EQ(second["extra"], "extra text");
}

TEST_F(SkirraClientTest, EventsOutsideInitAndUninitAreDroppedQuietly) {
  const auto dropped_before = SkirraClient::DroppedCount();
  SkirraClient::Report("before_init", {{"k", "v"}}, Skirra::kPriorityNormal, "");
  EXPECT_FALSE(std::filesystem::exists(spool()));

  SkirraClient::InitSDK(Config());
  SkirraClient::set_common_params({{"old", "1"}});
  SkirraClient::Report("inside", {}, Skirra::kPriorityNormal, "");
  SkirraClient::UninitSDK();
  SkirraClient::UninitSDK();  // a second shutdown is harmless
  EXPECT_TRUE(SkirraClient::SpoolPath().empty());
  SkirraClient::Report("after_uninit", {}, Skirra::kPriorityNormal, "");
  EXPECT_EQ(SkirraClient::DroppedCount() - dropped_before, 2u);

  // A new set-up starts without the previous common parameters, in the same spool.
  SkirraClient::InitSDK(Config());
  SkirraClient::Report("again", {}, Skirra::kPriorityNormal, "");
  SkirraClient::UninitSDK();

  const auto lines = ReadSpool();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["event"], "inside");
  EXPECT_EQ(lines[0]["common"]["old"], "1");
  EXPECT_EQ(lines[1]["event"], "again");
  EXPECT_EQ(lines[1]["common"], nlohmann::json::object());
  EXPECT_EQ(lines[1]["seq"], 1);
}

TEST_F(SkirraClientTest, UnwritableDirectoryDropsEventsWithoutFailing) {
  // A plain file where the directory should be: the spool cannot be opened.
  std::filesystem::create_directories(directory().parent_path());
  { std::ofstream(directory()) << "not a directory"; }
  SkirraClient::InitSDK(Config());
  EXPECT_TRUE(SkirraClient::SpoolPath().empty());
  const auto dropped_before = SkirraClient::DroppedCount();
  SkirraClient::Report("lost", {}, Skirra::kPriorityNormal, "");
  EXPECT_EQ(SkirraClient::DroppedCount() - dropped_before, 1u);
}

TEST_F(SkirraClientTest, InvalidUtf8AnywhereIsReplacedAndTheLineStaysValid) {
  SkirraClient::InitSDK(Config());
  SkirraClient::set_common_param_getters({{"getter", [] { return std::string("g\xC3"); }}});
  SkirraClient::Report("ev\xFF", {{"key\xFE", "val\xC3\x28"}, {"fine", "\xC3\xA9t\xC3\xA9"}},
                       Skirra::kPriorityNormal, "x\x80");
  SkirraClient::UninitSDK();

  const auto lines = ReadSpool();
  ASSERT_EQ(lines.size(), 1u);
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(lines[0]["event"], "ev" + replacement);
  EXPECT_EQ(lines[0]["params"]["key" + replacement], "val" + replacement + "(");
  EXPECT_EQ(lines[0]["params"]["fine"], "\xC3\xA9t\xC3\xA9");  // valid text untouched
  EXPECT_EQ(lines[0]["volatile"]["getter"], "g" + replacement);
  EXPECT_EQ(lines[0]["extra"], "x" + replacement);
  // Non-ASCII is written as UTF-8, not as \u escapes.
  EXPECT_NE(testenv::ReadFile(spool()).find("\xC3\xA9t\xC3\xA9"), std::string::npos);
}

TEST_F(SkirraClientTest, ConcurrentThreadsNeitherLoseNorInterleaveLines) {
  SkirraClient::InitSDK(Config());
  SkirraClient::set_common_param_getters({{"thread", [] {
    std::ostringstream out;
    out << std::this_thread::get_id();
    return out.str();
  }}});
  constexpr int kThreads = 6;
  constexpr int kEach = 200;
  const std::string bulk(3000, 'x');  // long lines make a torn write visible
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        SkirraClient::Report("burst", {{"t", std::to_string(t)}, {"i", std::to_string(i)}, {"bulk", bulk}},
                             Skirra::kPriorityNormal, "");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  SkirraClient::UninitSDK();

  const auto lines = ReadSpool();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEach));
  std::map<int, int> next_index;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    EXPECT_EQ(lines[n]["seq"], n + 1);  // file order is sequence order
    const int t = std::stoi(lines[n]["params"]["t"].get<std::string>());
    const int i = std::stoi(lines[n]["params"]["i"].get<std::string>());
    EXPECT_EQ(i, next_index[t]++) << "thread " << t;  // each thread's events in its order
    EXPECT_EQ(lines[n]["params"]["bulk"], bulk);
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next_index[t], kEach);
}

#ifndef _WIN32
TEST_F(SkirraClientTest, SeveralProcessesShareOneSpoolWithoutTornLines) {
  constexpr int kChildren = 4;
  constexpr int kEach = 100;
  const std::string bulk(16 * 1024, 'y');  // larger than a pipe buffer
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SkirraClient::InitSDK(Config());
      for (int i = 0; i < kEach; ++i) {
        SkirraClient::Report("child", {{"i", std::to_string(i)}, {"bulk", bulk}}, Skirra::kPriorityNormal,
                             "");
      }
      SkirraClient::UninitSDK();
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const auto lines = ReadSpool();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kChildren * kEach));
  std::map<long long, int> next_seq;
  for (const auto& line : lines) {
    const long long pid = line["pid"];
    EXPECT_EQ(line["seq"], ++next_seq[pid]);
    EXPECT_EQ(line["params"]["bulk"], bulk);
  }
  EXPECT_EQ(next_seq.size(), static_cast<std::size_t>(kChildren));
}
#endif

}  // namespace
