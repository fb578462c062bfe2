// Reading rules of the configuration documents: the value kinds, absent and
// null members, sections and lists, and the defaults of each document.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/config/model/app_guest_config.h"
#include "common/config/model/app_host_config.h"
#include "common/config/model/app_local_user_config.h"
#include "common/config/model/json_parse.h"
#include "common/config/model/nimbrel_global_config.h"
#include "support/test_env.h"

namespace {

using config::AppGuestConfig;
using config::AppHostConfig;
using config::AppLocalUserConfig;
using config::EnumCode;
using config::NimbrelGlobalConfig;
using config::Size;
using nlohmann::json;

template <class Doc>
Doc Parse(const std::string& text) {
  std::string error;
  auto doc = config::ParseDocument<Doc>(text, &error);
  EXPECT_TRUE(doc.has_value()) << text << ": " << error;
  return doc.value_or(Doc{});
}

template <class T>
struct KindCase {
  const char* value;  // JSON text of the member's value
  std::optional<T> expected;
};

// Reads {"key": value} into Doc and compares one member per case.
template <class Doc, class T>
void ExpectMember(const char* key, std::optional<T> Doc::*member, const std::vector<KindCase<T>>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(fmt::format("\"{}\": {}", key, c.value));
    const Doc doc = Parse<Doc>(fmt::format(R"({{"{}": {}}})", key, c.value));
    EXPECT_EQ(doc.*member, c.expected);
  }
}

TEST(ValueKinds, Boolean_TakesJsonBooleansOnly) {
  // "is_portrait_screen" defaults to false; a value it refuses keeps that.
  ExpectMember<AppGuestConfig, bool>("is_portrait_screen", &AppGuestConfig::is_portrait_screen,
                                     {{"true", true}, {"false", false}, {"null", false}, {"1", false},
                                      {"\"true\"", false}, {"[true]", false}, {"{}", false}});
}

TEST(ValueKinds, Integer_TruncatesNumbersAndTakesBooleansAsZeroOrOne) {
  // "max_notification_count" defaults to 1.
  ExpectMember<AppHostConfig, std::int32_t>(
      "max_notification_count", &AppHostConfig::max_notification_count,
      {{"7", 7}, {"-3", -3}, {"7.9", 7}, {"-7.9", -7}, {"true", 1}, {"false", 0}, {"\"3\"", 1},
       {"null", 1}, {"[3]", 1}, {"{}", 1}, {"4294967298", 2}, {"1e300", 1}, {"-1e300", 1}});
  ExpectMember<AppLocalUserConfig, std::int32_t>("volume", &AppLocalUserConfig::volume,
                                                 {{"65", 65}, {"true", 1}, {"\"65\"", std::nullopt}});
}

// Floating numbers outside an integer member's range: truncated and wrapped
// like an integer of that value while a 64-bit integer can hold it, refused
// (the default kept) beyond, never undefined.
TEST(ValueKinds, Integer_FloatingNumbersOutOfRangeWrapOrKeepTheDefault) {
  ExpectMember<AppHostConfig, std::int32_t>(
      "max_notification_count", &AppHostConfig::max_notification_count,
      {{"4294967298.7", 2},
       {"-4294967298.7", -2},
       {"2147483648.0", -2147483647 - 1},
       {"18446744073709549568.0", -2048},   // the largest double below 2^64
       {"18446744073709551616.0", 1},       // 2^64: no 64-bit integer holds it
       {"-9223372036854775808.0", 0},       // -2^63 still fits
       {"-9223372036854777856.0", 1},       // the next double below it does not
       {"1e19", -1981284352}});
  ExpectMember<AppHostConfig, std::uint32_t>(
      "dpi", &AppHostConfig::dpi,
      {{"4294967296.5", 0u}, {"-1.5", 4294967295u}, {"1e300", std::nullopt}, {"-1e300", std::nullopt}});
  ExpectMember<AppHostConfig, std::uint8_t>(
      "force_desktop_mode", &AppHostConfig::force_desktop_mode,
      {{"1e300", std::nullopt}, {"256.9", 0}});
}

TEST(ValueKinds, Unsigned_ReadsAsInteger) {
  ExpectMember<AppHostConfig, std::uint32_t>(
      "dpi", &AppHostConfig::dpi,
      {{"320", 320u}, {"320.7", 320u}, {"true", 1u}, {"-1", 4294967295u}, {"\"320\"", std::nullopt}});
}

TEST(ValueKinds, Byte_IsTakenModulo256) {
  ExpectMember<AppHostConfig, std::uint8_t>(
      "force_desktop_mode", &AppHostConfig::force_desktop_mode,
      {{"1", 1}, {"257", 1}, {"300.5", 44}, {"-1", 255}, {"true", 1}, {"\"1\"", std::nullopt}});
}

TEST(ValueKinds, Float_TakesNumbersAndBooleans) {
  ExpectMember<AppHostConfig, float>(
      "screen_dimension", &AppHostConfig::screen_dimension,
      {{"15.6", 15.6f}, {"15", 15.0f}, {"true", 1.0f}, {"\"15.6\"", std::nullopt}, {"1e300", std::nullopt}});
}

TEST(ValueKinds, Enum_TruncatesNumbersButRefusesBooleans) {
  ExpectMember<AppHostConfig, EnumCode>(
      "rotation", &AppHostConfig::rotation,
      {{"3", EnumCode{3}}, {"2.9", EnumCode{2}}, {"-1", EnumCode{-1}}, {"true", std::nullopt},
       {"\"1\"", std::nullopt}});
  ExpectMember<AppLocalUserConfig, config::Clarity>(
      "clarity", &AppLocalUserConfig::clarity,
      {{"3", config::Clarity::k1920x1080}, {"9", config::Clarity{9}}, {"true", std::nullopt}});
}

TEST(ValueKinds, Size_NeedsTwoIntegerElements) {
  ExpectMember<AppLocalUserConfig, Size>(
      "resolution", &AppLocalUserConfig::resolution,
      {{"[1280, 720]", Size{1280, 720}}, {"[1280]", std::nullopt}, {"[1280, 720, 5]", Size{1280, 720}},
       {"[1280.9, true]", Size{1280, 1}}, {"[\"1280\", 720]", std::nullopt}, {"[]", std::nullopt},
       {"{\"0\": 1280, \"1\": 720}", std::nullopt}, {"1280", std::nullopt}, {"[1280, null]", std::nullopt}});
}

TEST(ValueKinds, Text_TakesStringsOnly) {
  ExpectMember<AppHostConfig, std::string>(
      "dpi_config", &AppHostConfig::dpi_config,
      {{"\"abc\"", "abc"}, {"\"h\\u00e9llo \u4e16\"", "h\u00e9llo \u4e16"}, {"5", std::nullopt},
       {"[\"abc\"]", std::nullopt}});
}

TEST(ValueKinds, Lists_FailWholeOnOneBadElement) {
  using Strings = std::vector<std::string>;
  ExpectMember<AppHostConfig, Strings>(
      "selectable_aspect_ratio", &AppHostConfig::selectable_aspect_ratio,
      {{"[\"16:9\", \"4:3\"]", Strings{"16:9", "4:3"}}, {"[]", Strings{}}, {"[\"16:9\", 5]", std::nullopt},
       {"[\"16:9\", null]", std::nullopt}, {"\"16:9\"", std::nullopt}});
  using Flags = std::vector<bool>;
  ExpectMember<AppGuestConfig, Flags>(
      "switch_list", &AppGuestConfig::switch_list,
      {{"[true, false]", Flags{true, false}}, {"[true, 1]", std::nullopt}, {"{}", std::nullopt}});
}

TEST(ValueKinds, JsonValue_IsHeldUnchangedAndNullIsAbsent) {
  ExpectMember<AppGuestConfig, json>(
      "file_save_config", &AppGuestConfig::file_save_config,
      {{"{\"a\": [1, 2.5, \"x\"]}", json::parse(R"({"a": [1, 2.5, "x"]})")}, {"5", json(5)},
       {"null", std::nullopt}});
}

TEST(ValueKinds, UnsignedSixtyFourRefusesBooleans) {
  // "interval_second" is required, so a refused value drops "vk_detect_config".
  const auto section = [](const char* interval) {
    return Parse<NimbrelGlobalConfig>(fmt::format(
        R"({{"vk_detect_config": {{"is_enable": true, "interval_second": {}, "amd_bad_devices": [],
            "intel_bad_devices": [], "nvidia_bad_devices": []}}}})",
        interval)).vk_detect_config;
  };
  ASSERT_TRUE(section("3600").has_value());
  EXPECT_EQ(section("3600")->interval_second, 3600u);
  EXPECT_EQ(section("18446744073709551615")->interval_second, 18446744073709551615u);
  EXPECT_EQ(section("1.9")->interval_second, 1u);
  EXPECT_FALSE(section("true").has_value());
  EXPECT_FALSE(section("\"3600\"").has_value());
}

TEST(Documents, EmptyHostDocumentHasExactlyTheTableDefaults) {
  const auto host = Parse<AppHostConfig>("{}");
  EXPECT_EQ(host, AppHostConfig{});
  // Written out, the defaults show which members are present at all.
  EXPECT_EQ(config::json_fields::WriteRecord(host), json::parse(R"({
      "max_notification_count": 1, "global_max_notification_count": 5, "vulkan_perfer": false,
      "function_config": {"titlebar_config": {"items": []}, "topbar_config": {"items": [201]},
                          "breadmenu_config": {"items": []}, "functionbar_config": {"items": [201]}}})"));
}

TEST(Documents, EmptyDocumentsOfTheOthers) {
  EXPECT_EQ(config::json_fields::WriteRecord(Parse<AppGuestConfig>("{}")),
            json::parse(R"({"is_portrait_screen": false, "is_use_fake_camera": false})"));
  EXPECT_EQ(config::json_fields::WriteRecord(Parse<AppLocalUserConfig>("{}")), json::object());
  EXPECT_EQ(config::json_fields::WriteRecord(Parse<NimbrelGlobalConfig>("{}")), json::object());
}

TEST(Documents, NonObjectDocumentsKeepTheDefaults) {
  for (const char* text : {"[]", "5", "\"text\"", "null", "true", "[{\"dpi\": 320}]"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Parse<AppHostConfig>(text), AppHostConfig{});
    EXPECT_EQ(Parse<NimbrelGlobalConfig>(text), NimbrelGlobalConfig{});
  }
}

TEST(Documents, TextThatIsNotJsonIsTheCallersError) {
  for (const char* text : {"", "   ", "{", "{\"dpi\": 320", "{\"dpi\": 320,}", "nope", "{'dpi': 1}"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(config::ParseAppHostConfig(text, &error).has_value());
    EXPECT_NE(error.find("parse_error"), std::string::npos) << error;
    EXPECT_FALSE(config::ParseNimbrelGlobalConfig(text).has_value());
    EXPECT_FALSE(config::ParseAppGuestConfig(text).has_value());
    EXPECT_FALSE(config::ParseAppLocalUserConfig(text).has_value());
  }
}

TEST(Documents, UnknownKeysAndBadSiblingsDoNotDisturbTheRest) {
  const auto host = Parse<AppHostConfig>(
      R"({"unknown": {"deep": [1]}, "dpi": "high", "rotation": 0, "camera_config": {"enable": "yes", "front_rotation": 90}})");
  EXPECT_FALSE(host.dpi.has_value());
  EXPECT_EQ(host.rotation, EnumCode{0});
  ASSERT_TRUE(host.camera_config.has_value());
  EXPECT_FALSE(host.camera_config->enable.has_value());
  EXPECT_EQ(host.camera_config->front_rotation, 90);
}

TEST(Sections, RequiredMemberFailsOnlyItsSection) {
  const auto local = Parse<AppLocalUserConfig>(R"({"app_close_action_set": {"close_action": 2}, "volume": 40})");
  EXPECT_FALSE(local.app_close_action_set.has_value());
  EXPECT_EQ(local.volume, 40);

  const auto cases = std::vector<std::pair<const char*, bool>>{
      {R"({"close_action": 2, "is_popup_inquire": true})", true},
      {R"({"close_action": 2, "is_popup_inquire": null})", false},
      {R"({"close_action": true, "is_popup_inquire": true})", false},
      {R"({"close_action": 2.5, "is_popup_inquire": false, "extra": 1})", true},
      {R"([2, true])", false},
  };
  for (const auto& [section, present] : cases) {
    SCOPED_TRACE(section);
    EXPECT_EQ(Parse<AppLocalUserConfig>(fmt::format(R"({{"app_close_action_set": {}}})", section))
                  .app_close_action_set.has_value(),
              present);
  }
}

TEST(Sections, AnOptionalOnlySectionGivenANonObjectIsPresentWithItsDefaults) {
  // Members are only looked up in objects; nothing is required here.
  const auto host = Parse<AppHostConfig>(R"({"easter_egg_config": 5, "cursor_config": []})");
  ASSERT_TRUE(host.easter_egg_config.has_value());
  EXPECT_FALSE(host.easter_egg_config->enable.has_value());
  EXPECT_EQ(host.cursor_config, config::CursorConfig{});
  // With a required member the same value fails the section.
  EXPECT_FALSE(Parse<NimbrelGlobalConfig>(R"({"caton_monitor": 5})").caton_monitor.has_value());
}

TEST(Sections, CursorRecordWithoutItsRequiredMembersLeavesOnlyThatCursorAbsent) {
  const auto host = Parse<AppHostConfig>(
      R"({"cursor_config": {"cursor": {"is_ani": true}, "rb_cursor": {"is_ani": false, "cursor_url": "r.cur"}}})");
  ASSERT_TRUE(host.cursor_config.has_value());
  EXPECT_FALSE(host.cursor_config->cursor.has_value());
  EXPECT_FALSE(host.cursor_config->lb_cursor.has_value());
  ASSERT_TRUE(host.cursor_config->rb_cursor.has_value());
  EXPECT_EQ(host.cursor_config->rb_cursor->cursor_url, "r.cur");
}

TEST(Sections, FunctionBarsStartFromTheirOwnDefaults) {
  using config::BarWithItems;
  struct Case {
    const char* function_config;
    config::FunctionConfig expected;
  };
  config::FunctionConfig only_functionbar;
  only_functionbar.functionbar_config = BarWithItems({7, 9});
  config::FunctionConfig bad_items;  // a bad "items" keeps the bar's default
  config::FunctionConfig with_gray;
  with_gray.breadmenu_gray_config = std::vector<config::GrayRecord>{{EnumCode{209}, 0}, {std::nullopt, 1}};
  config::FunctionConfig cleared;
  cleared.topbar_config = BarWithItems({});

  const std::vector<Case> cases = {
      {R"({"topbar_config": {}})", config::FunctionConfig{}},
      {R"({"functionbar_config": {"items": [7, 9]}})", only_functionbar},
      {R"({"topbar_config": {"items": [true]}, "titlebar_config": {"items": null}})", bad_items},
      {R"({"breadmenu_gray_config": [{"item_id": 209, "need_gray": 0}, {"need_gray": 1}]})", with_gray},
      {R"({"topbar_config": {"items": []}})", cleared},
      {R"({"breadmenu_gray_config": {"item_id": 209}})", config::FunctionConfig{}},
      {R"("not an object")", config::FunctionConfig{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function_config);
    const auto host = Parse<AppHostConfig>(fmt::format(R"({{"function_config": {}}})", c.function_config));
    ASSERT_TRUE(host.function_config.has_value());
    EXPECT_EQ(*host.function_config, c.expected);
  }
  // An explicit null is "not given": the default stays present.
  EXPECT_EQ(Parse<AppHostConfig>(R"({"function_config": null})").function_config, config::FunctionConfig{});
}

TEST(Sections, FeatureToggleStartsFromItsDefaults) {
  const auto global = Parse<NimbrelGlobalConfig>(R"({"feature_toggle": {}})");
  ASSERT_TRUE(global.feature_toggle.has_value());
  EXPECT_EQ(config::json_fields::WriteRecord(*global.feature_toggle), json::parse(R"({
      "file_transfer": false, "tss_use_local_verify": false, "android_pagecache_limit": true,
      "android_pagecache_limit_hdd": false, "advanced_media_framework": false,
      "video_codec_qos_report": 0, "video_codec_qos_interval": 60000,
      "video_codec_qos_enable_new": false, "storage_use_virtio_scsi": false,
      "android_ipv6_enable": false, "is_vbox_pipe_queue_lock": true})"));

  const auto toggled = Parse<NimbrelGlobalConfig>(
      R"({"feature_toggle": {"file_transfer": "yes", "android_pagecache_limit": false, "video_codec_qos_interval": 500}})");
  ASSERT_TRUE(toggled.feature_toggle.has_value());
  EXPECT_EQ(toggled.feature_toggle->file_transfer, false);
  EXPECT_EQ(toggled.feature_toggle->android_pagecache_limit, false);
  EXPECT_EQ(toggled.feature_toggle->video_codec_qos_interval, 500);
  EXPECT_EQ(toggled.feature_toggle->is_vbox_pipe_queue_lock, true);
}

TEST(Lists, OneBadRecordFailsTheWholeListButNotItsSiblings) {
  const auto global = Parse<NimbrelGlobalConfig>(R"({
      "aosp_dpi_gear": [
        {"mini_inch": 0, "max_inch": 14, "dpi_gear": [{"width": 1280, "height": 720, "dpi": 240}]},
        {"mini_inch": 14, "dpi_gear": []}],
      "app_minimum_size": [{"screen_width": 1920, "screen_height": 1080, "app_minimum_width": 640, "app_minimum_height": 360}],
      "caton_monitor": {"capture_frequency": 1, "retry_count": 2, "capture_dump_type": 3},
      "heartbeat_reporting": {"report_gap": 600}})");
  EXPECT_FALSE(global.aosp_dpi_gear.has_value());
  EXPECT_FALSE(global.caton_monitor.has_value());
  ASSERT_TRUE(global.app_minimum_size.has_value());
  ASSERT_EQ(global.app_minimum_size->size(), 1u);
  EXPECT_EQ(global.app_minimum_size->front().app_minimum_height, 360);
  ASSERT_TRUE(global.heartbeat_reporting.has_value());
  EXPECT_EQ(global.heartbeat_reporting->report_gap, 600);
}

TEST(Lists, FailuresPropagateThroughNestedRequiredLists) {
  struct Case {
    const char* doc;
    bool aosp_present;
    bool vk_present;
  };
  const std::vector<Case> cases = {
      // A gear without "dpi" fails its band, and the band fails the list.
      {R"({"aosp_dpi_gear": [{"mini_inch": 0, "max_inch": 14, "dpi_gear": [{"width": 1, "height": 2}]}]})", false, false},
      {R"({"aosp_dpi_gear": [{"mini_inch": 0, "max_inch": 14, "dpi_gear": "none"}]})", false, false},
      {R"({"aosp_dpi_gear": []})", true, false},
      // A device without "deviceID" fails the required list and so the section.
      {R"({"vk_detect_config": {"is_enable": true, "interval_second": 1, "amd_bad_devices": [{"name": "x"}],
          "intel_bad_devices": [], "nvidia_bad_devices": []}})", false, false},
      {R"({"vk_detect_config": {"is_enable": true, "interval_second": 1, "amd_bad_devices": [],
          "intel_bad_devices": []}})", false, false},
      {R"({"vk_detect_config": {"is_enable": true, "interval_second": 1, "amd_bad_devices": [{"name": "x", "deviceID": 7}],
          "intel_bad_devices": [], "nvidia_bad_devices": []}})", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.doc);
    const auto global = Parse<NimbrelGlobalConfig>(c.doc);
    EXPECT_EQ(global.aosp_dpi_gear.has_value(), c.aosp_present);
    EXPECT_EQ(global.vk_detect_config.has_value(), c.vk_present);
  }
}

TEST(Lists, OptionalMembersInsideRecordsFailAlone) {
  const auto host = Parse<AppHostConfig>(
      R"({"red_point_config": {"global": [{"function_button_id": 7, "clicked": 1}, 5], "local": {"x": 1}}})");
  ASSERT_TRUE(host.red_point_config.has_value());
  ASSERT_TRUE(host.red_point_config->global.has_value());
  ASSERT_EQ(host.red_point_config->global->size(), 2u);
  EXPECT_EQ(host.red_point_config->global->at(0).function_button_id, EnumCode{7});
  EXPECT_FALSE(host.red_point_config->global->at(0).clicked.has_value());
  EXPECT_EQ(host.red_point_config->global->at(1), config::RedPointRecord{});
  EXPECT_FALSE(host.red_point_config->local.has_value());

  const auto global = Parse<NimbrelGlobalConfig>(R"({"env_detect_list": [
      {"detect_type": 1, "detect_timing": 0, "detect_index": 1, "fix_category": 2, "detect_text": "t",
       "detect_desc": "d", "button_text": "b", "severe": 0, "show_guide": 1, "guide_url": 42}]})");
  ASSERT_TRUE(global.env_detect_list.has_value());
  EXPECT_FALSE(global.env_detect_list->front().guide_url.has_value());
}

// Every key of the sample documents is known: reading and writing them back
// gives the same JSON, so a misspelt key or a wrong kind cannot hide.
TEST(Documents, FullyPopulatedSamplesReadEveryMember) {
  const auto data = testenv::SourceDir() / "tests/common/config/data";
  const auto check = [&](const char* file, auto doc_tag, std::size_t members) {
    using Doc = decltype(doc_tag);
    SCOPED_TRACE(file);
    const std::string text = testenv::ReadFile(data / file);
    ASSERT_FALSE(text.empty());
    const Doc doc = Parse<Doc>(text);
    const json written = config::json_fields::WriteRecord(doc);
    EXPECT_EQ(written, json::parse(text));
    EXPECT_EQ(written.size(), members);
  };
  check("host_config.json", AppHostConfig{}, 57);
  check("guest_config.json", AppGuestConfig{}, 14);
  check("global_config.json", NimbrelGlobalConfig{}, 14);

  const auto global = Parse<NimbrelGlobalConfig>(testenv::ReadFile(data / "global_config.json"));
  ASSERT_TRUE(global.aosp_dpi_gear.has_value());
  ASSERT_EQ(global.aosp_dpi_gear->size(), 3u);
  EXPECT_EQ(global.aosp_dpi_gear->at(1).max_inch, 17.25f);
  EXPECT_EQ(global.aosp_dpi_gear->at(1).dpi_gear.at(2), (DpiGear{2560, 1440, 360}));
  EXPECT_EQ(global.vk_detect_config->intel_bad_devices.at(1).device_id, 354);
}

}  // namespace
