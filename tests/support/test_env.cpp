#include "support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/multi_inst.h"

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
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (had_previous_) {
    ::setenv("QUARRION_HOME", previous_.c_str(), 1);
  } else {
    ::unsetenv("QUARRION_HOME");
  }
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
