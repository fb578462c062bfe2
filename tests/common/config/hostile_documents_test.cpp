// Documents come from a network service and a database file: hostile text
// must come back as an error, never as a crash or an escaped exception.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config/model/json_parse.h"
#include "documents_harness.h"

namespace {

std::string Nested(std::size_t depth, std::string_view open, std::string_view close) {
  std::string text;
  text.reserve(depth * (open.size() + close.size()));
  for (std::size_t i = 0; i < depth; ++i) text += open;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

// Every reader refuses the text with a message, and nothing escapes.
void ExpectRejectedEverywhere(const std::string& text, const std::string& expected_in_message) {
  std::string error;
  EXPECT_FALSE(config::ParseJsonDocument(text, &error).has_value());
  EXPECT_NE(error.find(expected_in_message), std::string::npos) << error;
  const auto fed = config_harness::FeedAllReaders(text);
  EXPECT_EQ(fed.parsed, 0);
  EXPECT_EQ(fed.failure, "");
}

TEST(HostileDocuments, DeepNestingIsRefusedBeforeParsing) {
  ExpectRejectedEverywhere(Nested(100000, "[", "]"), "nested deeper");
  ExpectRejectedEverywhere(Nested(100000, "{\"a\":", "}"), "nested deeper");
  // Unbalanced: only openers, as a truncated attack would send.
  ExpectRejectedEverywhere(std::string(100000, '['), "nested deeper");
  ExpectRejectedEverywhere("{\"file_save_config\":" + Nested(100000, "[", "]") + "}", "nested deeper");
}

TEST(HostileDocuments, TheDepthLimitIsExact) {
  EXPECT_TRUE(config::ParseJsonDocument(Nested(config::kMaxDocumentDepth, "[", "]")).has_value());
  EXPECT_FALSE(config::ParseJsonDocument(Nested(config::kMaxDocumentDepth + 1, "[", "]")).has_value());
  // A value nested to the limit survives every reader and writer.
  const auto fed = config_harness::FeedAllReaders(
      "{\"file_save_config\":" + Nested(config::kMaxDocumentDepth - 1, "[", "]") + "}");
  EXPECT_EQ(fed.parsed, 4);
  EXPECT_EQ(fed.failure, "");
}

TEST(HostileDocuments, BracketsInsideStringsDoNotCount) {
  const std::string deep_text = "{\"dpi_config\":\"" + std::string(100000, '[') + "\\\"{{{\"}";
  std::string error;
  const auto host = config::ParseAppHostConfig(deep_text, &error);
  ASSERT_TRUE(host.has_value()) << error;
  EXPECT_EQ(host->dpi_config->size(), 100000u + 4u);
  EXPECT_EQ(config::JsonNestingDepth(deep_text, 10), 1u);
  EXPECT_EQ(config::JsonNestingDepth(R"({"a":"\\"}, [[1]])", 10), 2u);
}

TEST(HostileDocuments, OversizedDocumentIsRefused) {
  // A valid document of 10 MB: one long array of small numbers.
  std::string big = "{\"selectable_aspect_ratio\":[";
  while (big.size() < 10u * 1000u * 1000u) big += "\"16:9\",";
  big += "\"4:3\"]}";
  ExpectRejectedEverywhere(big, "exceeds the limit");

  // The same shape just under the limit is an ordinary document.
  std::string large = "{\"selectable_aspect_ratio\":[";
  while (large.size() < 1u * 1000u * 1000u) large += "\"16:9\",";
  large += "\"4:3\"]}";
  const auto host = config::ParseAppHostConfig(large);
  ASSERT_TRUE(host.has_value());
  EXPECT_GT(host->selectable_aspect_ratio->size(), 100000u);
}

TEST(HostileDocuments, MalformedTextIsAParseError) {
  const std::vector<std::string> texts = {
      std::string("{\"dpi_config\":\"\xff\xfe\"}"),       // not UTF-8
      std::string("{\"dpi_config\":\"\xc0\xaf\"}"),       // overlong encoding
      std::string("{\"dpi_config\":\"\xed\xa0\x80\"}"),   // encoded surrogate
      "{\"dpi_config\":\"\\ud800\"}",                      // lone surrogate escape
      "{} trailing",
      "{}{}",
      std::string("{}\0{}", 5),
      std::string("{}\0\0 ", 5),
      std::string("{\"dpi\":") + '\0' + "320}",
      "{\"dpi\": 320",
      "{\"dpi\": 01}",
      "{\"dpi\": NaN}",
      "[1,2,]",
      "\"unterminated",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(testing::PrintToString(text));
    ExpectRejectedEverywhere(text, text.find('\0') != std::string::npos ? "after a NUL" : "parse_error");
  }
  // A terminator kept with the text is no junk.
  EXPECT_TRUE(config::ParseAppHostConfig(std::string("{\"dpi\":1}\0\0", 11)).has_value());
}

}  // namespace
