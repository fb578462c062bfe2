// Writing rules of the local user configuration: the stored text is what
// the client reads back, so its exact form matters.
#include <gtest/gtest.h>

#include <string>

#include "common/config/model/app_local_user_config.h"
#include "support/test_env.h"

namespace {

using config::AppLocalUserConfig;
using config::EnumCode;
using config::Size;

std::filesystem::path DataDir() { return testenv::SourceDir() / "tests/common/config/data"; }

std::string TrimmedFile(const std::filesystem::path& path) {
  std::string text = testenv::ReadFile(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

TEST(LocalUserWriting, AbsentMembersProduceNoKeys) {
  EXPECT_EQ(config::SerializeLocalUserConfig(AppLocalUserConfig{}), "{}");
  AppLocalUserConfig one;
  one.split_screen = false;
  EXPECT_EQ(config::SerializeLocalUserConfig(one), R"({"split_screen":false})");
}

TEST(LocalUserWriting, KindsAreWrittenAsTheirJsonTypesWithSortedKeys) {
  AppLocalUserConfig value;
  value.volume = -5;
  value.resolution = Size{0, 900};
  value.aspect_ratio = EnumCode{2};
  value.monitor_dpi = 1.5f;
  value.app_close_action_set = config::AppCloseActionSet{EnumCode{3}, false};
  value.clarity = config::Clarity::k1280x720;
  EXPECT_EQ(config::SerializeLocalUserConfig(value),
            R"({"app_close_action_set":{"close_action":3,"is_popup_inquire":false},"aspect_ratio":2,)"
            R"("clarity":5,"monitor_dpi":1.5,"resolution":[0,900],"volume":-5})");
}

TEST(LocalUserWriting, FullyPopulatedConfigurationRoundTripsToTheReferenceText) {
  const auto parsed = config::ParseAppLocalUserConfig(testenv::ReadFile(DataDir() / "local_user_config.json"));
  ASSERT_TRUE(parsed.has_value());
  // Every member is present in the sample.
  EXPECT_EQ(config::json_fields::WriteRecord(*parsed).size(), 29u);

  const std::string text = config::SerializeLocalUserConfig(*parsed);
  EXPECT_EQ(text, TrimmedFile(DataDir() / "local_user_config.stored.txt"));
  EXPECT_EQ(config::ParseAppLocalUserConfig(text), parsed);
  // Writing what was read back changes nothing: the stored form is stable.
  EXPECT_EQ(config::SerializeLocalUserConfig(*config::ParseAppLocalUserConfig(text)), text);
}

TEST(LocalUserWriting, ExtremeValuesSurviveTheRoundTrip) {
  AppLocalUserConfig value;
  value.orientation = EnumCode{-2147483647 - 1};
  value.volume = 2147483647;
  value.monitor_size = Size{-1, 2147483647};
  value.monitor_dpi = 0.1f;
  value.dpi_scale = 0;
  const auto back = config::ParseAppLocalUserConfig(config::SerializeLocalUserConfig(value));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, value);
}

TEST(LocalUserWriting, MergeReplacesOnlyPresentMembers) {
  AppLocalUserConfig base;
  base.volume = 10;
  base.clarity = config::Clarity::k1920x1080;
  AppLocalUserConfig patch;
  patch.clarity = config::Clarity::k2560x1440;
  patch.split_screen = true;
  config::MergeLocalUserConfig(base, patch);
  EXPECT_EQ(base.volume, 10);
  EXPECT_EQ(base.clarity, config::Clarity::k2560x1440);
  EXPECT_EQ(base.split_screen, true);
}

}  // namespace
