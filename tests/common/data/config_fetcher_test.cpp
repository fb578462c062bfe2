// The fetcher's pure steps (request body, answer parsing, the document
// adjustments) and the stored-document path over a fresh Configs.db.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "common/config/app_config_refresh.h"
#include "common/config/nimbrel_config_manager.h"
#include "common/data/config_fetcher.h"
#include "common/data/native_config.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "support/log_recorder.h"
#include "support/test_env.h"

namespace {

using config::NativeConfig;

std::string Answer(const std::string& ret_msg, const std::vector<nlohmann::json>& items) {
  nlohmann::json answer = nlohmann::json::object();
  answer["ret_code"] = 0;
  answer["ret_msg"] = ret_msg;
  answer["config"]["app_id"] = "x";
  answer["config"]["items"] = nlohmann::json::array();
  for (const auto& item : items) answer["config"]["items"].push_back(item);
  return answer.dump();
}

nlohmann::json Item(const std::vector<std::pair<std::string, std::string>>& kv) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [k, v] : kv) list.push_back({{"key", k}, {"value", v}});
  nlohmann::json item = nlohmann::json::object();
  item["group"] = "g";
  item["key_values"] = list;
  return item;
}

TEST(RequestBodyTest, CompactWithSortedKeys) {
  EXPECT_EQ(config::BuildFetchRequestData("com.example.app"), R"({"android":"Android13","group":"com.example.app"})");
  EXPECT_EQ(config::BuildFetchRequestData("a\"b"), R"({"android":"Android13","group":"a\"b"})");
  // Text that is not UTF-8 cannot be serialised: logged, and the body is empty.
  testenv::LogRecorder log;
  EXPECT_EQ(config::BuildFetchRequestData("bad\xff"), "");
  EXPECT_EQ(log.Count("BuildFetchRequestData fail, error_message: "), 1u);
}

TEST(ResponseTest, OneGuestDocument) {
  const auto nc = config::ParseConfigResponse("p.q", Answer("ok", {Item({{"configfile", R"({"a":1})"}})}));
  ASSERT_TRUE(nc.has_value());
  EXPECT_EQ(nc->package_name, "p.q");
  EXPECT_EQ(nc->guest_config, R"({"a":1})");
  EXPECT_EQ(nc->host_config, "{}");
  EXPECT_EQ(nc->local_user_config, "{}");
  EXPECT_EQ(nc->global_config, "{}");
  EXPECT_EQ(nc->default_key_mapping, "");
  EXPECT_EQ(nc->smk, "");
}

TEST(ResponseTest, KeysMapOntoDocumentsLaterWinsUnknownIgnoredOnlyFirstItem) {
  const auto nc = config::ParseConfigResponse(
      "p.q", Answer("ok", {Item({{"keymapping", "k1"}, {"smartkeyconf", "s"}, {"appconfigjson", "h"},
                                 {"globalconfig", "g"}, {"keymapping", "k2"}, {"local_user", "never"},
                                 {"localuserconfig", "never"}}),
                           Item({{"configfile", "second item"}})}));
  ASSERT_TRUE(nc.has_value());
  EXPECT_EQ(nc->default_key_mapping, "k2");
  EXPECT_EQ(nc->smk, "s");
  EXPECT_EQ(nc->host_config, "h");
  EXPECT_EQ(nc->global_config, "g");
  EXPECT_EQ(nc->guest_config, "");
  EXPECT_EQ(nc->local_user_config, "{}");  // never from the service
}

TEST(ResponseTest, UnusableAnswers) {
  testenv::LogRecorder log;
  struct Case { std::string text; bool logged; };
  const Case cases[] = {
      {Answer("OK", {Item({{"configfile", "{}"}})}), false},
      {Answer("ok ", {Item({{"configfile", "{}"}})}), false},
      {Answer("ok", {}), false},
      {R"({"ret_code":0,"ret_msg":"ok","config":{"items":{}}})", true},   // items not an array
      {R"({"ret_code":0,"ret_msg":"ok","config":{"items":[{"group":"g","key_values":{}}]}})", true},
      {R"({"ret_code":0,"ret_msg":"ok"})", true},                          // no config
      {R"({"ret_msg":"ok","config":{"items":[]}})", true},                 // no ret_code
      {R"({"ret_code":"0","ret_msg":"ok","config":{"items":[]}})", true},
      {R"({"ret_code":0,"ret_msg":"ok","config":{"items":[{"group":"g","key_values":[{"key":"configfile","value":{}}]}]}})", true},
      {R"({"ret_code":0,"ret_msg":"ok","config":{"items":[{"key_values":[]}]}})", true},  // no group
      {R"({"ret_code":0,"ret_msg":"ok","config":{"items":[)", true},
      {"", true},
      {"[1,2]", true},
  };
  std::size_t expected_lines = 0;
  for (const Case& c : cases) {
    EXPECT_FALSE(config::ParseConfigResponse("p.q", c.text).has_value()) << c.text;
    expected_lines += c.logged ? 1 : 0;
    EXPECT_EQ(log.Count("Config parse fail, error_message: "), expected_lines) << c.text;
  }
  EXPECT_EQ(log.Count("type must be array, but is object"), 2u);
}

TEST(UpdateConfigsTest, NotificationFromTheHostsMediaSwitches) {
  testenv::LogRecorder log;
  struct Case { const char* host; const char* guest; const char* expected_guest; bool logged; };
  const Case cases[] = {
      {R"({"media_tray":true})", R"({"b":1})", R"({"b":1,"notification":true})", false},
      {R"({"media_mini_window":true})", R"({ "b" : 1 })", R"({"b":1,"notification":true})", false},
      {R"({"media_mini_window":false,"media_tray":true})", R"({"b":1})", R"({"b":1,"notification":true})", false},
      {R"({"media_tray":false})", R"({ "b" : 1 })", R"({ "b" : 1 })", false},
      {R"({})", R"({ "b" : 1 })", R"({ "b" : 1 })", false},
      {R"({"media_tray":"yes"})", R"({ "b" : 1 })", R"({ "b" : 1 })", true},
      {R"({"media_tray":true})", "", "", true},          // no guest document to mark
      {"not json", R"({ "b" : 1 })", R"({ "b" : 1 })", true},
      {"[true]", R"({ "b" : 1 })", R"({ "b" : 1 })", false},
  };
  std::size_t lines = 0;
  for (const Case& c : cases) {
    NativeConfig nc;
    nc.package_name = "com.example.app";
    nc.host_config = c.host;
    nc.guest_config = c.guest;
    config::UpdateConfigs(nc);
    EXPECT_EQ(nc.guest_config, c.expected_guest) << c.host;
    EXPECT_EQ(nc.host_config, c.host);
    lines += c.logged ? 1 : 0;
    EXPECT_EQ(log.Count("config filter, error message: "), lines) << c.host;
  }
}

class StoredConfigTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    config::NimbrelConfigManager::ResetInstanceForTesting();
    config::ResetFetcherForTesting();
  }
  void TearDown() override {
    config::NimbrelConfigManager::ResetInstanceForTesting();
    config::ResetFetcherForTesting();
  }
};

TEST_F(StoredConfigTest, RecordFromStoreHasDefaultsAndPassesUpdateConfigs) {
  auto& m = config::NimbrelConfigManager::Instance();
  m.SaveConfigValue("nimbrel.{}.host_config", "a.b", R"({"media_tray":true})");
  m.SaveConfigValue("nimbrel.{}.guest_config", "a.b", R"({"x":1})");
  const NativeConfig nc = config::LoadNativeConfigFromStore("a.b");
  EXPECT_EQ(nc.package_name, "a.b");
  EXPECT_EQ(nc.guest_config, R"({"notification":true,"x":1})");
  EXPECT_EQ(nc.local_user_config, "{}");
  EXPECT_EQ(nc.global_config, "{}");
  EXPECT_EQ(nc.smk, "");
  const NativeConfig empty = config::LoadNativeConfigFromStore("c.d");
  EXPECT_EQ(empty.host_config, "{}");
  EXPECT_EQ(empty.guest_config, "");
}

TEST_F(StoredConfigTest, BudgetFromTheProductEnvironment) {
  EXPECT_EQ(config::NetworkBudget(), config::kDefaultNetworkBudget);
  config::ResetFetcherForTesting();
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(), L"ConfigRefreshBudgetMs",
                      std::uint64_t{2500});
  EXPECT_EQ(config::NetworkBudget(), std::chrono::milliseconds(2500));
  EXPECT_EQ(config::RemainingNetworkTime(), std::chrono::milliseconds(2500));
  config::ResetFetcherForTesting();
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(), L"ConfigRefreshBudgetMs",
                      std::uint64_t{1} << 40);
  EXPECT_EQ(config::NetworkBudget(), config::kDefaultNetworkBudget);
}

TEST(PackageNameTest, OnlyAndroidPackageNames) {
  for (const std::string& ok : std::vector<std::string>{"com.example.app", "a.b", "com.android.camera2", "Com.Ex_am.p1e",
                               "a_.b_", std::string("a.") + std::string(198, 'b')}) {
    EXPECT_TRUE(config::IsValidPackageName(ok)) << ok;
  }
  for (const std::string& bad : std::vector<std::string>{"", "single", "../x", "a/b", "a\\b", ".a.b", "a.b.", "a..b", "a.1b", "_a.b",
                                "a.b c", "a.b\n", std::string("a.b\0c", 5), "com.\xc3\xa9t\xc3\xa9", "a.b-c",
                                std::string("a.") + std::string(199, 'b'), "a.b/..", "a.b:c"}) {
    EXPECT_FALSE(config::IsValidPackageName(bad)) << config::PrintablePackageName(bad);
  }
}

TEST(PackageNameTest, PrintableForm) {
  EXPECT_EQ(config::PrintablePackageName("a.b"), "a.b");
  EXPECT_EQ(config::PrintablePackageName(std::string("a\0\\\n\xc3", 5)), "a\\x00\\x5c\\x0a\\xc3");
  EXPECT_EQ(config::PrintablePackageName(std::string(300, 'a')), std::string(64, 'a') + "...(300 bytes)");
}

}  // namespace
