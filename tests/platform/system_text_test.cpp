#include "platform/system_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

class SystemTextTest : public testenv::ProductTest {};

TEST_F(SystemTextTest, ReadsWholeCutsAtTheLimitAndTellsAbsenceFromFailure) {
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "line " + std::to_string(i) + "\n";
  { std::ofstream(home() / "text", std::ios::binary) << big; }
  { std::ofstream(home() / "empty", std::ios::binary); }

  const auto whole = platform::ReadSystemText(home() / "text");
  ASSERT_TRUE(whole) << whole.error();
  EXPECT_EQ(*whole, big);  // more than one read's worth, bytes as they are
  const auto cut = platform::ReadSystemText(home() / "text", 10);
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut, big.substr(0, 10));
  const auto empty = platform::ReadSystemText(home() / "empty");
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, "");

  EXPECT_EQ(platform::ReadSystemText(home() / "missing").error(), platform::kErrorFileNotFound);
  // Windows tells a missing folder on the way from a missing file.
#ifdef _WIN32
  const platform::ErrorCode missing_folder = platform::kErrorPathNotFound;
#else
  const platform::ErrorCode missing_folder = platform::kErrorFileNotFound;
#endif
  EXPECT_EQ(platform::ReadSystemText(home() / "no-folder" / "file").error(), missing_folder);
  // A folder is no text: an error, never an empty text.
  EXPECT_FALSE(platform::ReadSystemText(home()));
}

}  // namespace
