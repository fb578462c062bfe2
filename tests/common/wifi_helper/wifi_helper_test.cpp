// The Wi-Fi record: its hourly refresh, every failing step of the WLAN
// service and its line in the product's formatted log, and the real service
// lookup on this machine.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "base/cclog.h"
#include "common/wifi_helper/wifi_helper.h"
#include "support/test_env.h"

namespace {

using wifi_helper::WlanInterface;

// A scripted WLAN service; counts how often it is opened.
struct Script {
  std::uint32_t open = 0;
  std::uint32_t enumerate = 0;
  std::vector<WlanInterface> interfaces;
  std::map<std::string, std::pair<std::uint32_t, std::string>> ssids;  // id -> (error, bytes)
  int opens = 0;
  int closes = 0;
  std::vector<std::string> queried;
};

class ScriptedSource : public wifi_helper::WlanSource {
 public:
  explicit ScriptedSource(Script* s) : s_(s) {}
  std::uint32_t Open() override {
    ++s_->opens;
    return s_->open;
  }
  std::uint32_t EnumInterfaces(std::vector<WlanInterface>* out) override {
    if (s_->enumerate != 0) return s_->enumerate;
    *out = s_->interfaces;
    return 0;
  }
  std::uint32_t QueryCurrentSsid(const WlanInterface& i, std::string* ssid) override {
    s_->queried.push_back(i.id);
    const auto& [error, bytes] = s_->ssids[i.id];
    if (error == 0) *ssid = bytes;
    return error;
  }
  void Close() override { ++s_->closes; }

 private:
  Script* s_;
};

class WifiRecordTest : public testenv::ProductTest {
 protected:
  wifi_helper::WifiRecord Record() {
    return wifi_helper::WifiRecord([this] { return std::make_unique<ScriptedSource>(&script_); },
                                   [this] { return now_; });
  }
  // The formatted log's lines of this process, without their time stamps.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> out;
    std::istringstream in(testenv::ReadFile(nimbrel::cclog::instance().path()));
    for (std::string line; std::getline(in, line);) {
      const std::size_t body = line.find("] ");
      out.push_back(line.substr(body == std::string::npos ? 0 : body + 2));
    }
    return out;
  }
  Script script_;
  std::int64_t now_ = 1'700'000'000;
};

TEST_F(WifiRecordTest, ConnectedInterfacesOnlyAndTheLastOneWins) {
  script_.interfaces = {{"wlan0", true}, {"wlan1", false}, {"wlan2", true}};
  script_.ssids["wlan0"] = {0, "Office"};
  script_.ssids["wlan1"] = {0, "NeverAsked"};
  script_.ssids["wlan2"] = {0, "Caf\xc3\xa9"};
  auto record = Record();
  EXPECT_EQ(record.Ssid(), "Caf\xc3\xa9");
  EXPECT_EQ(script_.queried, (std::vector<std::string>{"wlan0", "wlan2"}));
  EXPECT_EQ(script_.closes, 1);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(WifiRecordTest, RefreshedAtMostOnceAnHour) {
  script_.interfaces = {{"wlan0", true}};
  script_.ssids["wlan0"] = {0, "First"};
  auto record = Record();
  EXPECT_EQ(record.Ssid(), "First");
  script_.ssids["wlan0"] = {0, "Second"};
  now_ += 3600;  // exactly an hour: still fresh
  EXPECT_EQ(record.Ssid(), "First");
  EXPECT_EQ(script_.opens, 1);
  now_ += 1;
  EXPECT_EQ(record.Ssid(), "Second");
  EXPECT_EQ(script_.opens, 2);
  // A clock set back a day does not freeze the record for a day.
  script_.ssids["wlan0"] = {0, "Third"};
  now_ -= 86400;
  EXPECT_EQ(record.Ssid(), "Third");
}

TEST_F(WifiRecordTest, EveryFailingStepLogsItsLineAndKeepsTheEarlierSsid) {
  script_.interfaces = {{"wlan0", true}};
  script_.ssids["wlan0"] = {0, "Home"};
  auto record = Record();
  ASSERT_EQ(record.Ssid(), "Home");

  struct Case {
    std::uint32_t open, enumerate, query;
    const char* line;
    int closes;  // closes added by the refresh
  };
  const Case cases[] = {
      {1062, 0, 0, "WlanOpenHandle failed with error: 1062", 0},
      {0, 5, 0, "WlanEnumInterfaces failed with error: 5", 1},
      {0, 0, 1168, "WlanQueryInterface failed with error: 1168", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove(nimbrel::cclog::instance().path());
    script_.open = c.open;
    script_.enumerate = c.enumerate;
    script_.ssids["wlan0"] = {c.query, "Other"};
    const int closes = script_.closes;
    now_ += 3601;
    EXPECT_EQ(record.Ssid(), "Home");
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], c.line);
    EXPECT_EQ(script_.closes - closes, c.closes);
  }
  // The record line names the probe and this process.
  const std::string text = testenv::ReadFile(nimbrel::cclog::instance().path());
  EXPECT_NE(text.find("[E][RefreshWifiInfo:wifi_helper.cpp:"), std::string::npos) << text;
  EXPECT_NE(text.find("[" + std::to_string(nimbrel::cclog::instance().pid()) + "][" +
                      nimbrel::cclog::instance().tag() + "]"),
            std::string::npos);
}

TEST_F(WifiRecordTest, AFailedQueryOfOneInterfaceDoesNotStopTheNext) {
  script_.interfaces = {{"wlan0", true}, {"wlan1", true}};
  script_.ssids["wlan0"] = {1168, ""};
  script_.ssids["wlan1"] = {0, "Next"};
  auto record = Record();
  EXPECT_EQ(record.Ssid(), "Next");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"WlanQueryInterface failed with error: 1168"});
}

TEST(SsidText, BytesBecomeUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"Plain", "Plain"},
      {"\xe5\x92\x96\xe5\x95\xa1", "\xe5\x92\x96\xe5\x95\xa1"},
      {"bad\xff", "bad\xef\xbf\xbd"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
      {std::string(100, 'x'), std::string(32, 'x')},
      {"", ""},
  };
  for (const auto& [raw, want] : cases) EXPECT_EQ(wifi_helper::SsidText(raw), want);
}

TEST_F(WifiRecordTest, NoServiceOnTheBusGivesTheOpenLineOncePerHour) {
  // A bus address where nothing listens stands for a machine without the service.
  const std::string address = "unix:path=" + (home() / "no-bus-here").string();
  wifi_helper::WifiRecord record([&] { return wifi_helper::MakeNetworkManagerSource(address, 500); },
                                 [this] { return now_; });
  EXPECT_EQ(record.Ssid(), "");
  EXPECT_EQ(record.Ssid(), "");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"WlanOpenHandle failed with error: 1062"});
}

TEST(CcLog, LineFormat) {
  EXPECT_EQ(nimbrel::cclog::Format("2026-01-02 03:04:05.006", 42, "QuarrionUpdate",
                                   nimbrel::cclog::Level::kError, "RefreshWifiInfo",
                                   "/src/common/wifi_helper/wifi_helper.cpp", 77, "two\nlines"),
            "[2026-01-02 03:04:05.006][42][QuarrionUpdate][E][RefreshWifiInfo:wifi_helper.cpp:77] "
            "two lines\n");
  EXPECT_EQ(nimbrel::cclog::Format("t", 1, "x", nimbrel::cclog::Level::kInfo, "f", "C:\\a\\b.cpp", 1,
                                   "m"),
            "[t][1][x][I][f:b.cpp:1] m\n");
}

}  // namespace
