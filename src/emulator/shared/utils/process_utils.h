// Starting programs, shared by the helper's flows. Every
// result is a Windows error code; nothing here throws or logs. Programs are
// started directly (never through a shell): the parameter text is split by
// the Windows command-line rules. Every program started gets the environment
// this process was started with (platform::StartEnvironment), not what it
// set for itself since.
#pragma once

#include <filesystem>
#include <string>

#include "base/win_types.h"

// Starts `file` with `parameters`. With `wait`, waits without limit and stores
// the exit code in *exitCode (when given); without, *exitCode is untouched.
// 2 for an empty or missing file, otherwise the start error.
DWORD ShellExecuteOpen(const std::filesystem::path& file, const std::wstring& parameters,
                       DWORD* exitCode, bool wait, const std::filesystem::path& directory,
                       int show);

// The start error, or the exit code when started (0 when not waited for).
DWORD ShellExecuteOpenExitCode(const std::filesystem::path& file, const std::wstring& parameters,
                               bool wait, const std::filesystem::path& directory, int show);

// Starts and waits up to 5000 ms: the start error, or the exit code (259 when
// the program still runs; it is left running).
DWORD ExecuteShellWithCurrentPrivileges(const std::filesystem::path& file,
                                        const std::wstring& parameters,
                                        const std::filesystem::path& directory);

// Starts `exe` without administrative powers with `arguments` after the
// program (the program itself is argv[0], whatever its path holds), waits up
// to 5000 ms and stores the exit code (259 when still running).
// Returns 0 once started, 2 for a missing executable, otherwise the error.
DWORD CreateRestrictedProcess(const std::filesystem::path& exe, const std::wstring& arguments,
                              DWORD* exitCode);

// Directory of the executable that holds this code; empty on failure.
std::filesystem::path GetModuleDirectory();
