#include "platform/library.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_env.h"

namespace {

class LibraryTest : public testenv::ProductTest {};

TEST_F(LibraryTest, LoadsASystemLibraryAndFindsItsSymbols) {
  std::string error = "untouched";
  platform::Library library = platform::Library::Load("libm.so.6", &error);
  ASSERT_TRUE(library.valid()) << error;
  EXPECT_EQ(error, "");
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

TEST_F(LibraryTest, FailureIsAValueWithTheLoadersMessage) {
  const auto missing = home() / "libmissing.so";
  const auto not_elf = home() / "libtext.so";
  std::ofstream(not_elf) << "this is text";
  for (const auto& path : {missing, not_elf}) {
    std::string error;
    platform::Library library = platform::Library::Load(path, &error);
    EXPECT_FALSE(library.valid());
    EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    EXPECT_EQ(library.last_error(), error);
    EXPECT_EQ(library.Symbol("anything"), nullptr);
  }
  std::string error;
  EXPECT_FALSE(platform::Library::Load({}, &error).valid());
  EXPECT_FALSE(error.empty());
}

}  // namespace
