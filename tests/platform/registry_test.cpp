#include "platform/registry.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "support/note_capture.h"
#include "support/test_env.h"

namespace {

namespace reg = platform::registry;
using reg::Root;

constexpr wchar_t kKey[] = L"Software\\Quarrion\\RegistryTest";

class RegistryTest : public testenv::ProductTest {
 protected:
  void SetUp() override { storage_ = reg::StorageDirectory(); }
  void TearDown() override { reg::SetStorageDirectory(storage_); }
  std::filesystem::path storage_;
};

// Reads that must not fail: the value, or nullopt when absent.
template <typename T>
std::optional<T> Ok(const platform::Result<std::optional<T>>& read) {
  EXPECT_TRUE(read) << "error " << read.error();
  return read ? *read : std::nullopt;
}
std::optional<reg::Value> ReadOk(Root root, std::wstring_view key, std::wstring_view name) {
  return Ok(reg::Read(root, key, name));
}
std::optional<std::vector<std::wstring>> MultiOk(Root root, std::wstring_view key,
                                                 std::wstring_view name) {
  return Ok(reg::ReadMultiString(root, key, name));
}
std::optional<std::uint32_t> TypeOk(Root root, std::wstring_view key, std::wstring_view name) {
  return Ok(reg::ValueType(root, key, name));
}

std::uint32_t Dword(const std::optional<reg::Value>& v) {
  return v && std::holds_alternative<std::uint32_t>(*v) ? std::get<std::uint32_t>(*v) : 0xDEADBEEF;
}

void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

TEST_F(RegistryTest, StoresEveryTypeAsWritten) {
  EXPECT_EQ(reg::WriteDword(Root::kCurrentUser, kKey, L"D", 0xFFFFFFFFu), 0u);
  EXPECT_EQ(reg::WriteQword(Root::kCurrentUser, kKey, L"Q", 0xFFFFFFFFFFFFFFFFull), 0u);
  EXPECT_EQ(reg::WriteString(Root::kCurrentUser, kKey, L"S", L"caf\u00e9 \U0001F600"), 0u);
  const std::vector<std::wstring> multi = {L"\\??\\/a", L"", L"b", L""};
  EXPECT_EQ(reg::WriteMultiString(Root::kCurrentUser, kKey, L"M", multi), 0u);
  EXPECT_EQ(reg::WriteString(Root::kCurrentUser, kKey, L"", L"default"), 0u);

  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, L"D")), 0xFFFFFFFFu);
  auto q = ReadOk(Root::kCurrentUser, kKey, L"Q");
  ASSERT_TRUE(q && std::holds_alternative<std::uint64_t>(*q));
  EXPECT_EQ(std::get<std::uint64_t>(*q), 0xFFFFFFFFFFFFFFFFull);
  auto s = ReadOk(Root::kCurrentUser, kKey, L"S");
  ASSERT_TRUE(s && std::holds_alternative<std::wstring>(*s));
  EXPECT_EQ(std::get<std::wstring>(*s), L"caf\u00e9 \U0001F600");
  EXPECT_EQ(MultiOk(Root::kCurrentUser, kKey, L"M"), multi);
  auto d = ReadOk(Root::kCurrentUser, kKey, L"");
  ASSERT_TRUE(d);
  EXPECT_EQ(std::get<std::wstring>(*d), L"default");

  EXPECT_EQ(TypeOk(Root::kCurrentUser, kKey, L"D"), reg::kTypeDword);
  EXPECT_EQ(TypeOk(Root::kCurrentUser, kKey, L"Q"), reg::kTypeQword);
  EXPECT_EQ(TypeOk(Root::kCurrentUser, kKey, L"S"), reg::kTypeString);
  EXPECT_EQ(TypeOk(Root::kCurrentUser, kKey, L"M"), reg::kTypeMultiString);
  // Each reader sees only its own type.
  EXPECT_EQ(reg::Read(Root::kCurrentUser, kKey, L"M").error(), platform::kErrorUnsupportedType);
  EXPECT_EQ(reg::ReadMultiString(Root::kCurrentUser, kKey, L"S").error(),
            platform::kErrorUnsupportedType);
  // Absent is a value, not an error.
  const auto absent = reg::Read(Root::kCurrentUser, kKey, L"Absent");
  ASSERT_TRUE(absent) << absent.error();
  EXPECT_FALSE(absent->has_value());

  // Rewriting changes the type in place.
  EXPECT_EQ(reg::WriteString(Root::kCurrentUser, kKey, L"D", L"now text"), 0u);
  EXPECT_EQ(TypeOk(Root::kCurrentUser, kKey, L"D"), reg::kTypeString);
  EXPECT_EQ(reg::WriteMultiString(Root::kCurrentUser, kKey, L"Empty", {}), 0u);
  EXPECT_EQ(MultiOk(Root::kCurrentUser, kKey, L"Empty"), std::vector<std::wstring>{});
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCaseAndSeparators) {
  ASSERT_EQ(reg::WriteDword(Root::kCurrentUser, L"Software\\\u00c4rger\\Sub", L"Wert", 1), 0u);
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, L"SOFTWARE\\\u00e4RGER\\sub", L"WERT")), 1u);
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, L"\\software\\\\\u00e4rger\\sub\\", L"wert")), 1u);
  // Writing under another spelling updates the same value.
  ASSERT_EQ(reg::WriteDword(Root::kCurrentUser, L"software\\\u00e4rger\\SUB", L"wERT", 2), 0u);
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, L"Software\\\u00c4rger\\Sub", L"Wert")), 2u);
  EXPECT_TRUE(reg::ValueExists(Root::kCurrentUser, L"SOFTWARE\\\u00c4RGER\\SUB", L"WERT"));
  // Writing created the key's ancestors.
  EXPECT_TRUE(reg::KeyExists(Root::kCurrentUser, L"software"));
  EXPECT_TRUE(reg::KeyExists(Root::kCurrentUser, L"SOFTWARE\\\u00c4rger"));
  EXPECT_TRUE(reg::KeyExists(Root::kCurrentUser, L""));
  EXPECT_FALSE(reg::KeyExists(Root::kCurrentUser, L"Software\\\u00c4rg"));
  // The two roots are separate stores.
  EXPECT_FALSE(ReadOk(Root::kLocalMachine, L"Software\\\u00c4rger\\Sub", L"Wert"));
#ifndef _WIN32
  EXPECT_TRUE(std::filesystem::exists(home() / "registry" / "HKCU.db"));
#endif
}

TEST_F(RegistryTest, DeletesValuesAndWholeSubtrees) {
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, L"Software\\Q", L"keep", 1), 0u);
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, L"Software\\Q\\A", L"v", 1), 0u);
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, L"Software\\Q\\A\\B", L"v", 1), 0u);
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, L"Software\\Q\\AB", L"v", 1), 0u);  // sibling

  EXPECT_EQ(reg::DeleteValue(Root::kLocalMachine, L"software\\q", L"KEEP"), 0u);
  EXPECT_FALSE(reg::ValueExists(Root::kLocalMachine, L"Software\\Q", L"keep"));
  EXPECT_EQ(reg::DeleteValue(Root::kLocalMachine, L"Software\\Q", L"keep"), 2u);
  EXPECT_TRUE(reg::KeyExists(Root::kLocalMachine, L"Software\\Q"));  // a key outlives its values

  EXPECT_EQ(reg::DeleteKey(Root::kLocalMachine, L"SOFTWARE\\q\\a"), 0u);
  EXPECT_FALSE(reg::KeyExists(Root::kLocalMachine, L"Software\\Q\\A"));
  EXPECT_FALSE(reg::KeyExists(Root::kLocalMachine, L"Software\\Q\\A\\B"));
  EXPECT_FALSE(reg::ValueExists(Root::kLocalMachine, L"Software\\Q\\A\\B", L"v"));
  EXPECT_TRUE(reg::ValueExists(Root::kLocalMachine, L"Software\\Q\\AB", L"v"));
  EXPECT_EQ(reg::DeleteKey(Root::kLocalMachine, L"Software\\Q\\A"), 2u);
  EXPECT_EQ(reg::DeleteKey(Root::kLocalMachine, L""), 5u);
}

#ifndef _WIN32
TEST_F(RegistryTest, FileThatIsNotADatabaseIsMovedAsideAndRecreated) {
  const std::filesystem::path dir = home() / "damaged";
  std::filesystem::create_directories(dir);
  const std::string garbage(8192, 'x');
  WriteFile(dir / "HKCU.db", garbage);
  WriteFile(dir / "HKCU.db-wal", "not a log either");
  reg::SetStorageDirectory(dir);

  testenv::NoteCapture capture;
  EXPECT_FALSE(ReadOk(Root::kCurrentUser, kKey, L"V"));
  EXPECT_EQ(reg::WriteDword(Root::kCurrentUser, kKey, L"V", 7), 0u);
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, L"V")), 7u);
  EXPECT_EQ(testenv::ReadFile(dir / "HKCU.db.corrupt"), garbage);
  // The layer has no log of its own; the recovery is told, once.
  const std::string file = (dir / "HKCU.db").string();
  EXPECT_EQ(capture.notes(),
            std::vector<std::string>{"registry file " + file + " was not a database: kept it as " +
                                     file + ".corrupt and started an empty one"});

  // The recreated file is a database that a fresh connection reads back.
  reg::SetStorageDirectory(dir);
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, L"V")), 7u);
}
#endif

#ifndef _WIN32
TEST_F(RegistryTest, UnsetOrUnusableStorageFailsAsValues) {
  reg::SetStorageDirectory({});
  EXPECT_EQ(reg::WriteDword(Root::kCurrentUser, kKey, L"V", 1), 3u);
  // Unreadable is an error, not "absent".
  EXPECT_EQ(reg::Read(Root::kCurrentUser, kKey, L"V").error(), 3u);
  EXPECT_EQ(reg::ReadMultiString(Root::kCurrentUser, kKey, L"V").error(), 3u);
  EXPECT_EQ(reg::ValueType(Root::kCurrentUser, kKey, L"V").error(), 3u);
  EXPECT_FALSE(reg::KeyExists(Root::kCurrentUser, L""));

  // A directory where the root file should be: an error, never a crash.
  const std::filesystem::path dir = home() / "blocked";
  std::filesystem::create_directories(dir / "HKLM.db");
  reg::SetStorageDirectory(dir);
  testenv::NoteCapture capture;
  EXPECT_NE(reg::WriteDword(Root::kLocalMachine, kKey, L"V", 1), 0u);
  const auto blocked = reg::Read(Root::kLocalMachine, kKey, L"V");
  EXPECT_FALSE(blocked);
  EXPECT_NE(blocked.error(), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "HKLM.db"));
  // Reported once, not on every access.
  const auto notes = capture.notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].rfind("registry file " + (dir / "HKLM.db").string() + " cannot be opened (", 0), 0u)
      << notes[0];
}
#endif

#ifndef _WIN32
TEST_F(RegistryTest, SwitchingStorageClosesTheOldFiles) {
  const std::filesystem::path a = home() / "a";
  const std::filesystem::path b = home() / "b";
  reg::SetStorageDirectory(a);
  ASSERT_EQ(reg::WriteDword(Root::kCurrentUser, kKey, L"Where", 1), 0u);
  reg::SetStorageDirectory(b);
  EXPECT_FALSE(reg::ValueExists(Root::kCurrentUser, kKey, L"Where"));
  ASSERT_EQ(reg::WriteDword(Root::kCurrentUser, kKey, L"Where", 2), 0u);
  reg::SetStorageDirectory(a);
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, L"Where")), 1u);
  EXPECT_EQ(reg::StorageDirectory(), a);
}
#endif

TEST_F(RegistryTest, CreateStringIfAbsentKeepsTheFirst) {
  EXPECT_EQ(reg::CreateStringIfAbsent(Root::kLocalMachine, kKey, L"Id", L"first").value_or(L""),
            L"first");
  EXPECT_EQ(reg::CreateStringIfAbsent(Root::kLocalMachine, kKey, L"ID", L"second").value_or(L""),
            L"first");
  // An empty or non-string value does not count as present.
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, kKey, L"Num", 3), 0u);
  EXPECT_EQ(reg::CreateStringIfAbsent(Root::kLocalMachine, kKey, L"Num", L"text").value_or(L""),
            L"text");
#ifndef _WIN32
  // A registry that cannot be written is an error, not the value asked for.
  reg::SetStorageDirectory({});
  EXPECT_EQ(reg::CreateStringIfAbsent(Root::kLocalMachine, kKey, L"New", L"x").error(), 3u);
#endif
}

// Writers in several threads of one process, and in two processes at once:
// every value and every appended item arrives.
TEST_F(RegistryTest, ConcurrentThreadsLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        reg::WriteDword(Root::kCurrentUser, kKey, name, static_cast<std::uint32_t>(t * 1000 + i));
        reg::AppendMultiString(Root::kCurrentUser, kKey, L"Log", {name});
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      const std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
      EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, name)), static_cast<std::uint32_t>(t * 1000 + i));
    }
  }
  const auto log = MultiOk(Root::kCurrentUser, kKey, L"Log");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->size(), static_cast<std::size_t>(kThreads * kPerThread));
}

#ifndef _WIN32
TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerProcess = 150;
  // Touch the store first so both children inherit an open connection they
  // must not use.
  ASSERT_EQ(reg::WriteDword(Root::kCurrentUser, kKey, L"Parent", 1), 0u);
  // A value read before the children write: a look-up left holding its read
  // would keep showing this process the store as it was now.
  ASSERT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, L"Parent")), 1u);

  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      (void)!::read(gate[0], &c, 1);  // start together
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        const std::wstring name = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
        failures += reg::WriteDword(Root::kCurrentUser, kKey, name, static_cast<std::uint32_t>(i)) != 0;
        failures += reg::AppendMultiString(Root::kCurrentUser, kKey, L"Shared", {name, L""}) != 0;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // releases both
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kPerProcess; ++i) {
      const std::wstring name = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
      EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, name)), static_cast<std::uint32_t>(i)) << name;
    }
  }
  const auto shared = MultiOk(Root::kCurrentUser, kKey, L"Shared");
  ASSERT_TRUE(shared);
  ASSERT_EQ(shared->size(), static_cast<std::size_t>(4 * kPerProcess));
  std::set<std::wstring> names;
  for (std::size_t i = 0; i < shared->size(); i += 2) {
    names.insert((*shared)[i]);
    EXPECT_EQ((*shared)[i + 1], L"");  // pairs stay intact
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(2 * kPerProcess));
  // The parent's own connection still works after the children are gone.
  EXPECT_EQ(Dword(ReadOk(Root::kCurrentUser, kKey, L"Parent")), 1u);
}
#endif

#ifndef _WIN32
// Creating the files is the delicate moment: several processes switch the
// same new file to WAL and create the tables at once.
TEST_F(RegistryTest, ProcessesCreatingTheStoreTogetherAllSucceed) {
  constexpr int kRounds = 10;
  constexpr int kProcesses = 4;
  for (int round = 0; round < kRounds; ++round) {
    const std::filesystem::path dir = home() / ("fresh" + std::to_string(round));
    reg::SetStorageDirectory(dir);
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(gate[1]);
        char c;
        (void)!::read(gate[0], &c, 1);
        ::_exit(reg::WriteDword(Root::kLocalMachine, kKey, L"v" + std::to_wstring(p), 1) == 0 ? 0 : 1);
      }
      children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    for (int p = 0; p < kProcesses; ++p) {
      EXPECT_TRUE(reg::ValueExists(Root::kLocalMachine, kKey, L"v" + std::to_wstring(p)));
    }
  }
}
#endif

TEST_F(RegistryTest, DeleteAtRebootAppendsWindowsStylePairs) {
  constexpr wchar_t kSession[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const std::filesystem::path first = home() / "old" / "x.dll.~del_00af";
  const std::filesystem::path second =
      home() / "old" / platform::text::PathFromWide(L"./n\u00e4me.dll");  // not normal yet
  std::filesystem::create_directories(home() / "old");
  std::ofstream(first) << "x";
  std::ofstream(home() / "old" / platform::text::PathFromWide(L"n\u00e4me.dll")) << "n";
  ASSERT_EQ(platform::files::DeleteAtReboot(first), 0u);
  ASSERT_EQ(platform::files::DeleteAtReboot(second), 0u);
  EXPECT_EQ(platform::files::DeleteAtReboot({}), 87u);

  const auto ops = MultiOk(Root::kLocalMachine, kSession, L"PendingFileRenameOperations");
  ASSERT_TRUE(ops);
  const std::wstring base = L"\\??\\" + platform::text::WideFromPath(home() / "old");
  const std::wstring sep(1, static_cast<wchar_t>(std::filesystem::path::preferred_separator));
  const std::vector<std::wstring> expected = {base + sep + L"x.dll.~del_00af", L"",
                                              base + sep + L"n\u00e4me.dll", L""};
  EXPECT_EQ(*ops, expected);
  EXPECT_EQ(TypeOk(Root::kLocalMachine, kSession, L"PendingFileRenameOperations"),
            reg::kTypeMultiString);

  // A relative path is recorded as the absolute one.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(home());
  EXPECT_EQ(platform::files::DeleteAtReboot("rel.bin"), 0u);
  std::filesystem::current_path(cwd);
  const auto after = MultiOk(Root::kLocalMachine, kSession, L"PendingFileRenameOperations");
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), 6u);
  EXPECT_EQ((*after)[4], L"\\??\\" + platform::text::WideFromPath(home() / "rel.bin"));
}

#ifdef _WIN32
// The two views of a 64-bit system are two places: a value written in one
// is not in the other.
TEST_F(RegistryTest, ViewsAreSeparate) {
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, kKey, L"Bits", 32, reg::View::k32), 0u);
  ASSERT_EQ(reg::WriteDword(Root::kLocalMachine, kKey, L"Bits", 64, reg::View::k64), 0u);
  EXPECT_EQ(Dword(Ok(reg::Read(Root::kLocalMachine, kKey, L"Bits", reg::View::k32))), 32u);
  EXPECT_EQ(Dword(Ok(reg::Read(Root::kLocalMachine, kKey, L"Bits", reg::View::k64))), 64u);
  // A 64-bit program's own view is the 64-bit one.
  EXPECT_EQ(Dword(ReadOk(Root::kLocalMachine, kKey, L"Bits")), 64u);
  EXPECT_EQ(reg::DeleteKey(Root::kLocalMachine, kKey, reg::View::k32), 0u);
  EXPECT_FALSE(reg::ValueExists(Root::kLocalMachine, kKey, L"Bits", reg::View::k32));
  EXPECT_TRUE(reg::ValueExists(Root::kLocalMachine, kKey, L"Bits", reg::View::k64));
}
#endif

}  // namespace
