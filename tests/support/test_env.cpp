#include "support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/multi_inst.h"
#include "platform/registry.h"

namespace testenv {

ProductHome::ProductHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarrion-test.XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
  if (const char* old = std::getenv("QUARRION_HOME")) {
    previous_ = old;
    had_previous_ = true;
  }
  ::setenv("QUARRION_HOME", path_.c_str(), 1);
  MultiInst::Instance()->Init(L"Quarrion", 0);
}

ProductHome::~ProductHome() {
  // Hand the product instance back to the home that was there before (an
  // outer ProductHome). Without one, the registry is detached rather than
  // left pointing into the removed directory, where a late access would
  // recreate it (or fall back to the user's real home).
  if (had_previous_) {
    ::setenv("QUARRION_HOME", previous_.c_str(), 1);
    MultiInst::Instance()->Init(L"Quarrion", 0);
  } else {
    ::unsetenv("QUARRION_HOME");
    platform::registry::SetStorageDirectory({});
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path BinDir() { return QUARRION_BIN_DIR; }
std::filesystem::path SourceDir() { return QUARRION_SOURCE_DIR; }

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace testenv
