// Pure parsers of the per-process text the kernel publishes (/proc/<pid>/...).
// No I/O here: the backend reads the text with ReadSystemText and tests feed
// these from fixture files, damaged ones included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::proc {

// PF_KTHREAD in the flags field: a kernel thread, which has no program image.
inline constexpr unsigned long kKernelThreadFlag = 0x00200000;

struct ProcStat {
  std::uint32_t pid = 0;
  std::string comm;  // as the kernel shows it: may hold blanks and parentheses
  char state = '?';
  std::uint32_t ppid = 0;
  unsigned long flags = 0;
  // Where the environment starts (field 50): 0 until an exec has put it in
  // place, and when the kernel hides it from us; none on older kernels.
  std::optional<unsigned long long> env_start;

  bool ended() const { return state == 'Z' || state == 'X'; }
  bool kernel_thread() const { return (flags & kKernelThreadFlag) != 0; }
};

// "pid (comm) S ppid pgrp session tty tpgid flags ...". The command name may
// hold anything but a NUL, ')' included, so the fields are taken after the
// last ')'. nullopt when the text does not hold at least the fields up to
// `flags` in that form (empty, cut short, not a stat line).
std::optional<ProcStat> ParseProcStat(std::string_view text);

// The entries of a NUL-separated list (environ, cmdline). A last entry
// without its NUL counts (the kernel cuts a list that changed under it).
std::vector<std::string_view> SplitNulList(std::string_view text);

// Values of `names` in an environment block: result[i] answers names[i],
// nullopt when absent. The first definition counts, as getenv finds it; an
// entry without '=' defines nothing.
std::vector<std::optional<std::string>> FindEnvironmentValues(
    std::string_view environ_text, const std::vector<std::string_view>& names);

// argv[0] of a command line; empty when there is none.
std::string_view ProgramOfCommandLine(std::string_view cmdline);

// The kernel marks the target of an image link whose file was replaced or
// deleted with " (deleted)".
inline constexpr std::string_view kDeletedSuffix = " (deleted)";
struct ImageLink {
  std::string_view path;    // the target without the mark
  bool marked_deleted = false;
};
// `literal_exists` says whether a file is named like the whole target, mark
// included: then the mark is part of a real name and is kept.
ImageLink ParseImageLink(std::string_view target, bool literal_exists);

// The last component of a '/'-separated path.
std::string_view FileNameOf(std::string_view path);

// A file mapped into a process, one line of /proc/<pid>/maps:
// "start-end perms offset major:minor inode   path".
struct MappedFile {
  std::uint32_t major = 0;  // the device of the file system holding it
  std::uint32_t minor = 0;
  std::uint64_t inode = 0;
  std::string_view path;    // without the kernel's " (deleted)" mark
  bool marked_deleted = false;
};
// The file mappings of a maps text in its order (a file mapped in several
// pieces comes once per piece). Anonymous memory and the kernel's own areas
// ([heap], [stack], [vdso]: inode 0) are left out, and so is every line not
// in the kernel's form; a text cut short ends in half a line, which is not
// taken either.
std::vector<MappedFile> ParseMappedFiles(std::string_view maps);

}  // namespace platform::proc
