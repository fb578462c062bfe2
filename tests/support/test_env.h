// A fresh, isolated product machine per test: a temporary QUARRION_HOME that
// the product instance and the emulated registry are pointed at, removed
// again afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace testenv {

class ProductHome {
 public:
  ProductHome();
  ~ProductHome();
  ProductHome(const ProductHome&) = delete;
  ProductHome& operator=(const ProductHome&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::string previous_;
  bool had_previous_ = false;
};

// Base fixture: every test gets its own home.
class ProductTest : public ::testing::Test {
 protected:
  const std::filesystem::path& home() const { return home_.path(); }

 private:
  ProductHome home_;
};

// Where the built programs are (the helper and the stand-in programs).
std::filesystem::path BinDir();
std::filesystem::path SourceDir();

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Whether this program runs under Wine; false on every other system.
bool UnderWine();

}  // namespace testenv
