// Paths resolved as the system resolves them when it opens them, links in
// the existing part and the rest as written.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

class ResolveLinksTest : public testenv::ProductTest {};

TEST_F(ResolveLinksTest, LinksOnTheWayAreResolvedAndTheMissingRestKept) {
  fs::create_directories(home() / "real" / "sub");
  ASSERT_TRUE(testenv::MakeLink(home() / "real", home() / "link", true));
  const auto resolved_home = platform::files::ResolveLinks(home());
  ASSERT_TRUE(resolved_home) << resolved_home.error();
  const fs::path real = *resolved_home / "real";
  const struct {
    const char* label;
    fs::path path;
    fs::path expected;
  } cases[] = {
      {"a folder through a link", home() / "link" / "sub", real / "sub"},
      {"the link itself", home() / "link", real},
      {"a missing rest after a link", home() / "link" / "new" / "deeper", real / "new" / "deeper"},
      {"dot segments", home() / "real" / "." / "sub" / ".." / "sub", real / "sub"},
      {"nothing of it exists below the home", home() / "none" / "x", *resolved_home / "none" / "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto resolved = platform::files::ResolveLinks(c.path);
    ASSERT_TRUE(resolved) << resolved.error();
    EXPECT_EQ(*resolved, c.expected);
  }
  EXPECT_TRUE(testenv::RemoveLink(home() / "link"));
  EXPECT_TRUE(fs::exists(home() / "real" / "sub"));
}

}  // namespace
