// Starting programs: directly, never through a shell. Parameter texts follow
// the Windows command-line rules so that what a caller quotes is exactly what
// the child receives.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"

namespace platform {

// Splits a parameter text by the rules of CommandLineToArgvW for everything
// after the program name: blanks separate, double quotes group, 2n
// backslashes before a quote give n and the quote toggles grouping, 2n+1 give
// n and a literal quote, other backslashes are literal, and "" inside a
// group is a literal quote. An empty quoted pair is an empty argument.
// With `first_is_program` the first element follows the program-name rule
// (no backslash processing; quotes only group).
std::vector<std::wstring> SplitCommandLine(std::wstring_view text,
                                           bool first_is_program = false);

// The inverse of SplitCommandLine for one argument: written so that the split
// reads it back unchanged, whatever it holds. kAlways puts it between double
// quotes; kWhenNeeded only when it is empty or holds a blank, a tab or a
// quote. Backslashes are doubled only where a quote follows them.
enum class Quoting { kAlways, kWhenNeeded };
std::wstring QuoteCommandLineArgument(std::wstring_view argument,
                                      Quoting quoting = Quoting::kAlways);
// The arguments quoted and joined by one blank: SplitCommandLine of the
// result gives `arguments` back.
std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments,
                             Quoting quoting = Quoting::kWhenNeeded);

struct LaunchRequest {
  std::filesystem::path file;      // program to start
  std::wstring parameters;         // split by SplitCommandLine
  bool parameters_include_program = false;  // parameters start with argv[0]
  std::filesystem::path directory; // working directory; empty = inherit
  bool want_handle = false;        // return a handle (else the child is detached)
  bool restricted = false;         // drop administrative powers in the child
  // Start through the shell's "open" (Windows: ShellExecuteExW) rather than
  // directly. It cannot hand over an environment, so a request that names
  // one, or a restricted one, starts directly anyway. POSIX: always direct.
  bool shell_open = false;
  // The child's whole environment, "NAME=value" entries; unset: this
  // process's current environment.
  std::optional<std::vector<std::string>> environment;
};

// Returns 0 and, with want_handle, fills *process (rights: all). Errors: 2 the
// file does not exist or is empty, 5 not executable (or a directory), 193 not
// a program, 267 the working directory is unusable, otherwise the exec error.
// A relative file is taken from the caller's working directory; there is no
// search of PATH. On failure nothing is left running.
// A child started without a handle is detached and never left as a zombie.
// A handle's child is reaped by whichever of its handles sees it end first
// (or in the background once all its handles are closed).
ErrorCode Launch(const LaunchRequest& request, ProcessHandle* process = nullptr);

}  // namespace platform
