#include "support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/multi_inst.h"
#include "platform/registry.h"
#include "support/scoped_env.h"

#ifndef _WIN32
#include <stdlib.h>
#else
#include <windows.h>

#include <random>
#endif

namespace testenv {

namespace {

// A new directory of its own under the temporary folder.
std::filesystem::path MakeTempDirectory() {
#ifdef _WIN32
  // Creating fails when the name exists, so a name that comes out is ours.
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::temp_directory_path() / ("quarrion-test." + std::to_string(random()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) return candidate;
  }
  throw std::runtime_error("no temporary directory could be made");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "quarrion-test.XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  return made;
#endif
}

#ifdef _WIN32
// The registry there is the machine's own, not one per home: what a test
// left in the product's keys (or in the pending renames) is wiped so the
// next test meets a fresh machine.
void WipeProductRegistry() {
  namespace reg = platform::registry;
  reg::DeleteKey(reg::Root::kCurrentUser, L"Software\\Quarrion");
  reg::DeleteKey(reg::Root::kLocalMachine, L"Software\\Quarrion", reg::View::k64);
  reg::DeleteKey(reg::Root::kLocalMachine, L"Software\\Quarrion", reg::View::k32);
  reg::DeleteValue(reg::Root::kLocalMachine, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                   L"PendingFileRenameOperations");
}
#else
void WipeProductRegistry() {}
#endif

}  // namespace

ProductHome::ProductHome() {
  WipeProductRegistry();
  path_ = MakeTempDirectory();
  if (const char* old = std::getenv("QUARRION_HOME")) {
    previous_ = old;
    had_previous_ = true;
  }
  SetVariable("QUARRION_HOME", path_.string());
  MultiInst::Instance()->Init(L"Quarrion", 0);
}

ProductHome::~ProductHome() {
  // Hand the product instance back to the home that was there before (an
  // outer ProductHome). Without one, the registry is detached rather than
  // left pointing into the removed directory, where a late access would
  // recreate it (or fall back to the user's real home).
  if (had_previous_) {
    SetVariable("QUARRION_HOME", previous_);
    MultiInst::Instance()->Init(L"Quarrion", 0);
  } else {
    SetVariable("QUARRION_HOME", std::nullopt);
    platform::registry::SetStorageDirectory({});
  }
  WipeProductRegistry();
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

bool UnderWine() {
#ifdef _WIN32
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace testenv
