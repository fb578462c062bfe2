// The replacing writer on Windows. Links cannot be made from the Windows
// side under Wine, so the test makes them from the host side when it runs
// there (Wine starts host programs), and with CreateSymbolicLinkW otherwise.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/files.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

class ReplaceFileTest : public testenv::ProductTest {};

using UnixNameFunction = char* (*)(const wchar_t*);

// The host's path of a Windows path, under Wine; empty elsewhere.
std::string HostPath(const fs::path& path) {
  const auto convert = reinterpret_cast<UnixNameFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"),
                                               "wine_get_unix_file_name")));
  if (convert == nullptr) return {};
  char* unix_name = convert(path.wstring().c_str());
  if (unix_name == nullptr) return {};
  std::string result = unix_name;
  ::HeapFree(::GetProcessHeap(), 0, unix_name);
  return result;
}

// A symbolic link at `link` to `target`.
bool MakeLink(const fs::path& target, const fs::path& link) {
  const std::string host_target = HostPath(target);
  if (!host_target.empty() && fs::exists("Z:\\bin\\ln")) {
    platform::LaunchRequest request;
    request.file = "Z:\\bin\\ln";
    request.parameters = platform::JoinCommandLine(
        {L"-s", platform::text::FromUtf8(host_target),
         platform::text::FromUtf8(HostPath(link.parent_path()) + "/" + link.filename().string())});
    request.want_handle = true;
    platform::ProcessHandle ln;
    const platform::ErrorCode error = platform::Launch(request, &ln);
    EXPECT_EQ(error, 0u) << "ln did not start";
    if (error != 0) return false;
    // A host program's handle under Wine ends with its start, not with the
    // program, so the link itself is waited for.
    const std::uint64_t deadline = platform::TickCount64() + 20000;
    while (::GetFileAttributesW(link.wstring().c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (platform::TickCount64() > deadline) return false;
      platform::SleepMs(10);
    }
    return true;
  }
  return ::CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(),
                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
}

std::size_t EntriesIn(const fs::path& dir) {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    (void)entry;
    ++n;
  }
  return n;
}

TEST_F(ReplaceFileTest, WritesWholeFilesAndLeavesNothingBeside) {
  const fs::path dir = home() / "shared";
  fs::create_directories(dir);
  ASSERT_TRUE(platform::files::ReplaceWholeFile(dir, "a.conf", "first"));
  ASSERT_TRUE(platform::files::ReplaceWholeFile(dir, "a.conf", std::string(100000, 'x')));
  EXPECT_EQ(testenv::ReadFile(dir / "a.conf"), std::string(100000, 'x'));
  EXPECT_EQ(EntriesIn(dir), 1u);
}

TEST_F(ReplaceFileTest, ALinkAtTheNameIsReplacedAndItsTargetKept) {
  const fs::path dir = home() / "shared";
  fs::create_directories(dir);
  const fs::path outside = home() / "outside.txt";
  std::ofstream(outside, std::ios::binary) << "precious\r\n";
  ASSERT_TRUE(MakeLink(outside, dir / "a.conf"));
  // Read through the link, the name shows the target.
  ASSERT_EQ(testenv::ReadFile(dir / "a.conf"), "precious\r\n");

  ASSERT_TRUE(platform::files::ReplaceWholeFile(dir, "a.conf", "new"));
  EXPECT_EQ(testenv::ReadFile(outside), "precious\r\n");
  EXPECT_EQ(testenv::ReadFile(dir / "a.conf"), "new");
  // Writing again goes to the name's own file now, still not the target.
  ASSERT_TRUE(platform::files::ReplaceWholeFile(dir, "a.conf", "newer"));
  EXPECT_EQ(testenv::ReadFile(outside), "precious\r\n");
}

TEST_F(ReplaceFileTest, FailuresKeepTheOldFileAndLeaveNothingBeside) {
  const fs::path dir = home() / "shared";
  fs::create_directories(dir / "taken");
  std::ofstream(dir / "a.conf", std::ios::binary) << "old";
  struct Case {
    fs::path directory;
    fs::path name;
    platform::ErrorCode expected;
  };
  const Case cases[] = {
      {dir, "sub\\a.conf", platform::kErrorInvalidParameter},
      {dir, "..", platform::kErrorInvalidParameter},
      {dir, "", platform::kErrorInvalidParameter},
      {dir / "missing", "a.conf", platform::kErrorFileNotFound},
      // A folder at the name is not replaced by a file.
      {dir, "taken", platform::kErrorAccessDenied},
  };
  for (const Case& c : cases) {
    const platform::Result<void> result = platform::files::ReplaceWholeFile(c.directory, c.name, "new");
    EXPECT_EQ(result.error(), c.expected) << c.directory << " " << c.name;
  }
  EXPECT_EQ(testenv::ReadFile(dir / "a.conf"), "old");
  EXPECT_TRUE(fs::is_directory(dir / "taken"));
  EXPECT_EQ(EntriesIn(dir), 2u);
}

}  // namespace
