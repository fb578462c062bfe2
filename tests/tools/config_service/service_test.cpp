// The pure parts of the configuration service stand-in: other tests trust
// what it answers and records, so its switches and answers are checked here.
#include "service.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_env.h"

namespace {

using config_service::Behaviour;
using config_service::BehaviourFromJson;

TEST(ConfigServiceBehaviour, SwitchesAreReadStrictly) {
  struct Case {
    const char* json;
    bool ok;
  };
  const Case cases[] = {
      {R"({})", true},
      {R"({"generation":3,"refuse":"both","fail_next":2,"fail_status":503,"stall":true})", true},
      {R"({"overlong":1000,"overlong_chunked":true,"ret_msg":"OK","delay_ms":5})", true},
      {R"({"stal":true})", false},             // a typo is no default
      {R"({"stall":"yes"})", false},           // a wrong type neither
      {R"({"refuse":"secondary"})", false},
      {R"({"status":99})", false},
      {R"({"status":600})", false},
      {R"({"fail_status":0})", false},
      {R"({"fail_next":-1})", false},
      {R"({"delay_ms":-5})", false},
      {R"({"overlong":-1})", false},
      {R"([1,2])", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::string error;
    const auto b = BehaviourFromJson(nlohmann::json::parse(c.json), &error);
    EXPECT_EQ(b.has_value(), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
    }
  }
  // What is written is what is read back.
  const auto b = BehaviourFromJson(nlohmann::json::parse(cases[1].json), nullptr);
  ASSERT_TRUE(b);
  EXPECT_EQ(BehaviourFromJson(config_service::BehaviourToJson(*b), nullptr)->generation, 3);
  EXPECT_TRUE(b->Refuses("primary"));
  EXPECT_TRUE(b->Refuses("alternative"));
  EXPECT_FALSE(Behaviour{}.Refuses("primary"));
}

TEST(ConfigServiceAnswer, DocumentsFolderGivesOneItemInFileNameOrder) {
  testenv::ProductHome home;
  const auto docs = home.path() / "docs";
  std::filesystem::create_directories(docs / "com.a.b");
  std::ofstream(docs / "com.a.b" / "globalconfig.json") << R"({"g":1})";
  std::ofstream(docs / "com.a.b" / "configfile.json") << "text, not JSON";
  std::ofstream(docs / "com.a.b" / "notes.txt") << "ignored";
  std::ofstream(home.path() / "outside.json") << "{}";

  const nlohmann::json a = config_service::BuildAnswer(docs, "com.a.b", "ok");
  EXPECT_EQ(a.at("ret_code"), 0);
  EXPECT_EQ(a.at("ret_msg"), "ok");
  EXPECT_EQ(a.at("config").at("app_id"), "com.a.b");
  ASSERT_EQ(a.at("config").at("items").size(), 1u);
  const nlohmann::json& item = a["config"]["items"][0];
  EXPECT_EQ(item.at("group"), "com.a.b");
  EXPECT_EQ(item.at("key_values"),
            nlohmann::json::parse(R"([{"key":"configfile","value":"text, not JSON"},
                                      {"key":"globalconfig","value":"{\"g\":1}"}])"));

  // Unknown or unsafe names: "ok" with no items, nothing read elsewhere.
  for (const char* name : {"com.none", "..", ".", "../docs/com.a.b", "a/b", "", "-x/../.."}) {
    SCOPED_TRACE(name);
    const nlohmann::json none = config_service::BuildAnswer(docs, name, "ok");
    EXPECT_TRUE(none.at("config").at("items").empty());
  }
  EXPECT_EQ(config_service::BuildAnswer(docs, "com.a.b", "nope").at("ret_msg"), "nope");
}

TEST(ConfigServiceAnswer, OverlongBodyHasTheSizeAndParsesOnlyWhole) {
  const nlohmann::json answer = {{"ret_msg", "ok"}, {"ret_code", 0}};
  for (const std::int64_t size : {100, 4096, 1 << 20}) {
    SCOPED_TRACE(size);
    const std::string body = config_service::OverlongBody(answer, size);
    EXPECT_EQ(static_cast<std::int64_t>(body.size()), size);
    const nlohmann::json whole = nlohmann::json::parse(body);
    EXPECT_EQ(whole.at("ret_msg"), "ok");
    EXPECT_TRUE(nlohmann::json::parse(body.substr(0, body.size() - 1), nullptr, false).is_discarded());
    EXPECT_TRUE(nlohmann::json::parse(body.substr(0, body.size() / 2), nullptr, false).is_discarded());
  }
}

TEST(ConfigServiceHeader, PercentDecodingUndoesTheRequestEncoding) {
  const std::pair<const char*, std::string> cases[] = {
      {"{\"a\":1}", "{\"a\":1}"},
      {"100%25", "100%"},
      {"s%C3%BBr", "s\xC3\xBBr"},
      {"a%0D%0Ab", "a\r\nb"},
      {"%", "%"},          // a lone or broken escape stays as it is
      {"%2", "%2"},
      {"%zz", "%zz"},
      {"%%41", "%A"},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(config_service::PercentDecode(in), want);
  }
}

}  // namespace
