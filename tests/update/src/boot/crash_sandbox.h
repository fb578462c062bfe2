// Running the built helper (or its crash-on-request twin) in the test's
// product home, and reading back what a crash left.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace crashtest {

namespace fs = std::filesystem;

struct Run {
  int status = 0;       // wait status
  bool hung = false;    // killed after the bound
  pid_t pid = 0;
};

// Starts `program` with `args` (argv[0] added) in `home`, with a headless
// Qt, core dumps off, and `extra_env` ("NAME=value", replacing those
// defaults) on top of this process's environment, in `directory` (empty:
// this process's). Waits at most two minutes.
Run RunProgram(const fs::path& program, const std::vector<std::string>& args, const fs::path& home,
               const std::vector<std::string>& extra_env = {}, const fs::path& directory = {});

fs::path HelperProgram();        // bin/QuarrionUpdate.exe
fs::path CrashTriggerProgram();  // bin/QuarrionUpdateCrashTrigger.exe
// Copies the named files of bin/ into `directory` (created), keeping modes.
void CopyFromBin(const fs::path& directory, const std::vector<std::string>& names);

std::vector<fs::path> CrashRecords(const fs::path& home);  // temp/crash_*.json
nlohmann::json ReadJson(const fs::path& file);
std::string LogText(const fs::path& home);                 // every log file, joined
// Installs the assistant stand-in where the crash report looks for it,
// told to exit at once.
fs::path InstallAssistant(const fs::path& home);
// Waits (bounded) until the assistant recorded a start; its argv, or empty.
std::vector<std::string> WaitForAssistantArgv();
std::string Describe(const Run& run);

}  // namespace crashtest
