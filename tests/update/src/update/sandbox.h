// A client installation inside the test's product home, and helpers to look
// at files before and after a cleanup.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "platform/dir_walk.h"
#include "support/test_env.h"

namespace sandbox {

namespace fs = std::filesystem;

inline void Write(const fs::path& p, const std::string& text = "data") {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// Points the client component at `root` with `version` as the current one.
inline void SetClientInstall(const fs::path& root, const std::wstring& version) {
  const std::wstring key = MultiInst::Instance()->GetComponentRegRoot(1);
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"InstallRoot", base::gstring::FromPath(root));
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"Version", version);
}

// The usual four versions: 1.0.0.1 (old), 1.0.0.2 (previous, with logs),
// 1.0.0.3 (current) and 2.0.0.0 (newer).
inline void MakeVersions(const fs::path& root) {
  SetClientInstall(root, L"1.0.0.3");
  Write(root / "1.0.0.1" / "Quarrion.exe", "old client");
  Write(root / "1.0.0.1" / "lib" / "deep" / "a.so");
  Write(root / "1.0.0.1" / "logs" / "old.log");
  Write(root / "1.0.0.2" / "Quarrion.exe", "previous client");
  Write(root / "1.0.0.2" / "res" / "x.png");
  Write(root / "1.0.0.2" / "logs" / "last.log", "keep me");
  Write(root / "1.0.0.3" / "data" / "current.bin", "current client");
  Write(root / "1.0.0.3" / "logs" / "now.log", "current log");
  Write(root / "2.0.0.0" / "Quarrion.exe", "newer client");
}

// Every entry under `dir` (links not followed) with its content.
inline std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const auto rel = fs::relative(it->path(), dir).string();
    if (it->is_symlink()) {
      out[rel] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      out[rel] = testenv::ReadFile(it->path());
    } else {
      out[rel] = "<dir>";
    }
  }
  return out;
}

inline std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    out.insert(it->path().filename().string());
  }
  return out;
}

// Stands for files held open by a running program: while it lives, a file
// whose name holds `kPart` cannot be deleted, though it can be moved, as on
// Windows.
template <const char* kPart>
class RefusedRemovals {
 public:
  RefusedRemovals() : previous_(platform::dir_walk::ExchangeRemoveFileFunction(&Refuse)) {}
  ~RefusedRemovals() { platform::dir_walk::ExchangeRemoveFileFunction(previous_); }
  RefusedRemovals(const RefusedRemovals&) = delete;
  RefusedRemovals& operator=(const RefusedRemovals&) = delete;

 private:
  static platform::ErrorCode Refuse(const platform::dir_walk::DirHandle& dir, const fs::path& name) {
    if (std::strstr(name.c_str(), kPart) != nullptr) return platform::kErrorSharingViolation;
    return platform::dir_walk::RealRemoveFile(dir, name);
  }
  platform::dir_walk::RemoveFileFunction previous_;
};

}  // namespace sandbox
