#include "support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/multi_inst.h"
#include "platform/registry.h"
#include "support/child.h"
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

#ifdef _WIN32
bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string HostPath(const std::filesystem::path& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto to_unix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (to_unix == nullptr) return {};
  char* unix_name = to_unix(path.c_str());
  if (unix_name == nullptr) return {};
  std::string out = unix_name;
  ::HeapFree(::GetProcessHeap(), 0, unix_name);
  return out;
}
#else
bool UnderWine() { return false; }
std::string HostPath(const std::filesystem::path&) { return {}; }
#endif

#ifdef _WIN32
namespace {

// Runs a host program through Wine on `link`'s folder and waits until a link
// stands at `link` (or none does). A host program has no Windows process to
// wait for: the folder's change notification tells when it has acted.
bool RunOnHostUntil(const std::vector<std::string>& command, const std::filesystem::path& link,
                    bool present) {
  std::error_code ec;
  const auto there = [&] { return std::filesystem::exists(std::filesystem::symlink_status(link, ec)); };
  HANDLE change = ::FindFirstChangeNotificationW(
      link.parent_path().c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
  if (change == INVALID_HANDLE_VALUE) return false;
  ChildOptions options;
  options.arguments.assign(command.begin() + 1, command.end());
  Child program = StartChild(command.front(), options);
  const ULONGLONG deadline = ::GetTickCount64() + 30000;
  while (program.valid() && there() != present && ::GetTickCount64() < deadline) {
    if (::WaitForSingleObject(change, static_cast<DWORD>(deadline - ::GetTickCount64())) !=
        WAIT_OBJECT_0) {
      break;
    }
    ::FindNextChangeNotification(change);
  }
  ::FindCloseChangeNotification(change);
  return there() == present;
}

std::string HostName(const std::filesystem::path& link) {
  return HostPath(link.parent_path()) + "/" + link.filename().string();
}

}  // namespace
#endif

bool MakeLink(const std::filesystem::path& target, const std::filesystem::path& link,
              bool directory) {
#ifdef _WIN32
  if (UnderWine()) {
    const std::string from = HostPath(target);
    return !from.empty() && RunOnHostUntil({"Z:\\bin\\ln", "-s", from, HostName(link)}, link, true);
  }
  // Without developer mode only an unprivileged request makes one.
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                      (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) != 0;
#else
  std::error_code ec;
  if (directory) {
    std::filesystem::create_directory_symlink(target, link, ec);
  } else {
    std::filesystem::create_symlink(target, link, ec);
  }
  return !ec;
#endif
}

bool RemoveLink(const std::filesystem::path& link) {
#ifdef _WIN32
  // Under Wine a removal from the Windows side reaches the target, if it
  // acts at all.
  if (UnderWine()) return RunOnHostUntil({"Z:\\bin\\rm", "-f", HostName(link)}, link, false);
#endif
  std::error_code ec;
  std::filesystem::remove(link, ec);
  return !ec;
}

}  // namespace testenv
