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

// Whether this program runs under Wine (its ntdll exports wine_get_version).
// Where Wine cannot give a fact, a test expects what Wine answers, and only
// there. False on every other system.
bool UnderWine();
// The host's name of a path under Wine, for host programs started through
// it (ln); empty on every other system.
std::string HostPath(const std::filesystem::path& path);

// A symbolic link at `link` to `target`, made the way the system can make
// one: Wine makes none from the Windows side (CreateSymbolicLinkW answers
// success and makes nothing), so there the host's ln makes it and it shows
// through the Z: drive. False when no link is there afterwards.
bool MakeLink(const std::filesystem::path& target, const std::filesystem::path& link,
              bool directory);
// Removes the link itself (made by MakeLink), never what it leads to.
bool RemoveLink(const std::filesystem::path& link);

}  // namespace testenv
