// The parsers of the per-process texts, fed from captured fixtures: pure, so
// they run on every system.
#include "platform/proc_parse.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_text.h"

namespace {

namespace proc = platform::proc;

std::string Fixture(const std::string& name) {
  const auto path = std::filesystem::path(QUARRION_SOURCE_DIR) / "tests/platform/fixtures" / name;
  auto text = platform::ReadSystemText(path);
  EXPECT_TRUE(text) << path << ": " << text.error();
  return text ? *text : std::string();
}

TEST(ProcParseTest, StatLinesAsTheKernelWritesThemAndDamagedOnes) {
  struct Expected {
    std::uint32_t pid;
    std::string comm;
    char state;
    std::uint32_t ppid;
    bool ended;
    bool kernel_thread;
    std::optional<unsigned long long> env_start;
  };
  const struct {
    const char* fixture;
    std::optional<Expected> expected;
  } cases[] = {
      {"stat_running", Expected{10136, "cat", 'R', 10129, false, false, 140720490740371ull}},
      // The command name holds blanks and parentheses: fields start after the last ')'.
      {"stat_comm_blanks_parens",
       Expected{4242, "a) b (c) ", 'S', 1, false, false, 140720490740371ull}},
      {"stat_zombie", Expected{777, "defunct one", 'Z', 1, true, false, 0ull}},
      {"stat_kernel_thread", Expected{2, "kthreadd", 'S', 0, false, true, 0ull}},
      // Environment not in place yet: 0, which is not "unknown".
      {"stat_in_exec", Expected{5150, "sleep", 'R', 5149, false, false, 0ull}},
      // Fewer fields (older kernels): no environment start at all.
      {"stat_old_kernel", Expected{300, "old", 'S', 1, false, false, std::nullopt}},
      {"stat_truncated", std::nullopt},
      {"stat_empty", std::nullopt},
      {"stat_garbage", std::nullopt},
      {"stat_no_pid", std::nullopt},
      {"stat_negative_ppid", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    const std::optional<proc::ProcStat> stat = proc::ParseProcStat(Fixture(c.fixture));
    ASSERT_EQ(stat.has_value(), c.expected.has_value());
    if (!stat) continue;
    EXPECT_EQ(stat->pid, c.expected->pid);
    EXPECT_EQ(stat->comm, c.expected->comm);
    EXPECT_EQ(stat->state, c.expected->state);
    EXPECT_EQ(stat->ppid, c.expected->ppid);
    EXPECT_EQ(stat->ended(), c.expected->ended);
    EXPECT_EQ(stat->kernel_thread(), c.expected->kernel_thread);
    EXPECT_EQ(stat->env_start, c.expected->env_start);
  }
}

TEST(ProcParseTest, EnvironmentValuesFirstDefinitionWinsAndPrefixesAreNotNames) {
  using Values = std::vector<std::optional<std::string>>;
  const std::vector<std::string_view> names = {"HOME", "EMPTY", "HOM", "NOEQUALS",
                                               "QUARRION_HOME", "PATH", "MISSING"};
  const struct {
    const char* fixture;
    Values expected;
  } cases[] = {
      {"environ_typical",
       {"/home/q", "", std::nullopt, std::nullopt, "a=b c", "/usr/bin:/bin", std::nullopt}},
      // Cut short by the kernel: the last entry still counts.
      {"environ_cut",
       {"/home/q", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "/usr/bin",
        std::nullopt}},
      {"environ_empty", Values(names.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    EXPECT_EQ(proc::FindEnvironmentValues(Fixture(c.fixture), names), c.expected);
  }
}

TEST(ProcParseTest, CommandLineListsAndTheirProgram) {
  const struct {
    const char* fixture;
    std::vector<std::string_view> entries;
    std::string_view program;
  } cases[] = {
      {"cmdline_args", {"/opt/q/Quarrion Update.exe", "--from", "14"}, "/opt/q/Quarrion Update.exe"},
      {"cmdline_no_nul", {"/usr/bin/prog"}, "/usr/bin/prog"},
      {"cmdline_empty", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    const std::string text = Fixture(c.fixture);
    EXPECT_EQ(proc::SplitNulList(text), c.entries);
    EXPECT_EQ(proc::ProgramOfCommandLine(text), c.program);
  }
  EXPECT_EQ(proc::FileNameOf("/opt/q/Quarrion Update.exe"), "Quarrion Update.exe");
  EXPECT_EQ(proc::FileNameOf("bare"), "bare");
  EXPECT_EQ(proc::FileNameOf("/dir/"), "");
}

TEST(ProcParseTest, ImageLinkDeletedMark) {
  const struct {
    std::string_view target;
    bool literal_exists;
    std::string_view path;
    bool deleted;
  } cases[] = {
      {"/opt/q/Quarrion.exe", false, "/opt/q/Quarrion.exe", false},
      {"/opt/q/Quarrion.exe (deleted)", false, "/opt/q/Quarrion.exe", true},
      // A file really named with the mark keeps its name.
      {"/opt/q/odd (deleted)", true, "/opt/q/odd (deleted)", false},
      // Only a suffix counts, and only once.
      {"/opt/q (deleted)/a", false, "/opt/q (deleted)/a", false},
      {"/a (deleted) (deleted)", false, "/a (deleted)", true},
      {" (deleted)", false, " (deleted)", false},
  };
  for (const auto& c : cases) {
    const proc::ImageLink link = proc::ParseImageLink(c.target, c.literal_exists);
    EXPECT_EQ(link.path, c.path) << c.target;
    EXPECT_EQ(link.marked_deleted, c.deleted) << c.target;
  }
}

}  // namespace

TEST(ProcParseTest, MappedFilesAsTheKernelListsThemAndDamagedLines) {
  struct Expected {
    std::uint32_t major;
    std::uint32_t minor;
    std::uint64_t inode;
    std::string path;
    bool deleted;
  };
  const struct {
    const char* fixture;
    std::vector<Expected> files;
  } cases[] = {
      // Anonymous memory and the kernel's areas are no files; the last line
      // was cut short (a text read up to a limit) and is not taken.
      {"maps_typical",
       {{0xfe, 0, 247134, "/usr/bin/cat", false},
        {0xfe, 0, 247134, "/usr/bin/cat", false},
        {0x103, 2, 1835021, "/usr/lib/x86_64-linux-gnu/libc.so.6", false},
        {0, 0x1f, 4242, "/home/me/Quarrion/install/1.0.0.1/data pack/level 1.bin", false},
        {0xfe, 0, 99, "/home/me/old.dll", true},
        {0, 1, 3074, "/memfd:shm", true}}},
      {"maps_damaged", {{8, 1, 83, "/still/read", false}}},
      {"maps_empty", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    const std::string text = Fixture(c.fixture);
    const std::vector<proc::MappedFile> files = proc::ParseMappedFiles(text);
    ASSERT_EQ(files.size(), c.files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(files[i].major, c.files[i].major);
      EXPECT_EQ(files[i].minor, c.files[i].minor);
      EXPECT_EQ(files[i].inode, c.files[i].inode);
      EXPECT_EQ(files[i].path, c.files[i].path);
      EXPECT_EQ(files[i].marked_deleted, c.files[i].deleted);
    }
  }
}
