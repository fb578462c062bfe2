#include "platform/library.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_env.h"

namespace {

class LibraryTest : public testenv::ProductTest {};

// A library every machine has, found by its bare name, holding cos().
#ifdef _WIN32
constexpr char kSystemLibrary[] = "msvcrt.dll";
#else
constexpr char kSystemLibrary[] = "libm.so.6";
#endif

TEST_F(LibraryTest, LoadsASystemLibraryAndFindsItsSymbols) {
  std::string detail = "untouched";
  platform::Result<platform::Library> loaded = platform::Library::Load(kSystemLibrary, &detail);
  ASSERT_TRUE(loaded) << detail;
  EXPECT_EQ(detail, "");
  platform::Library library = std::move(loaded).value();
  auto* cosine = reinterpret_cast<double (*)(double)>(library.Symbol("cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(library.Symbol("no_such_symbol_in_libm"), nullptr);

  // Moving hands the loaded library over; the source is empty afterwards.
  platform::Library moved = std::move(library);
  EXPECT_FALSE(library.valid());
  EXPECT_EQ(library.Symbol("cos"), nullptr);
  EXPECT_TRUE(moved.valid());
  EXPECT_NE(moved.Symbol("cos"), nullptr);
}

TEST_F(LibraryTest, FailureIsANumberWithTheLoadersMessage) {
  const auto not_elf = home() / "libtext.so";
  std::ofstream(not_elf) << "this is text";
  const struct {
    std::filesystem::path path;
    platform::ErrorCode code;
  } cases[] = {
      {home() / "libmissing.so", platform::kErrorModNotFound},
      {"libno-such-library-here.so.9", platform::kErrorModNotFound},
      {not_elf, platform::kErrorBadExeFormat},
      {{}, platform::kErrorInvalidParameter},
  };
  for (const auto& c : cases) {
    std::string detail;
    const auto library = platform::Library::Load(c.path, &detail);
    EXPECT_FALSE(library) << c.path;
    EXPECT_EQ(library.error(), c.code) << c.path;
    EXPECT_FALSE(detail.empty()) << c.path;
    if (!c.path.empty()) EXPECT_NE(detail.find(c.path.string()), std::string::npos) << detail;
  }
}

}  // namespace
