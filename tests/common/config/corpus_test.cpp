// Runs the checked-in corpus of mutated documents through every reader; the
// fuzz target of the same readers grows this corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "documents_harness.h"
#include "support/test_env.h"

namespace {

TEST(DocumentCorpus, EveryFileIsReadWithoutEscapesAndRoundTrips) {
  const auto dir = testenv::SourceDir() / "tests/common/config/corpus";
  std::size_t files = 0;
  std::size_t parsed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    SCOPED_TRACE(entry.path().filename().string());
    const auto fed = config_harness::FeedAllReaders(testenv::ReadFile(entry.path()));
    EXPECT_EQ(fed.failure, "");
    if (fed.parsed > 0) ++parsed;
  }
  // The corpus holds both documents that parse and ones that do not.
  EXPECT_GE(files, 40u);
  EXPECT_GT(parsed, files / 4);
  EXPECT_LT(parsed, files);
}

TEST(DocumentCorpus, SampleDocumentsAreAcceptedByEveryReader) {
  const auto data = testenv::SourceDir() / "tests/common/config/data";
  for (const char* file : {"host_config.json", "global_config.json", "guest_config.json", "local_user_config.json"}) {
    SCOPED_TRACE(file);
    const auto fed = config_harness::FeedAllReaders(testenv::ReadFile(data / file));
    EXPECT_EQ(fed.parsed, 4);
    EXPECT_EQ(fed.failure, "");
  }
}

}  // namespace
