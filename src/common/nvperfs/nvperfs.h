// An application profile in the NVIDIA driver's settings, so that a program
// of ours runs on the NVIDIA GPU with OpenGL threaded optimisation matched to
// the processor.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace nvperfs {

// The driver library's name on this platform.
extern const char* const kNvapiLibraryName;

// True when the profile has been saved. The second argument is kept for the
// callers' sake and changes nothing.
bool AddExeToNvidiaGpu(const std::wstring& exe_path, bool);

namespace internal {

// The same with the library and the thread count chosen by the caller.
bool AddExeToNvidiaGpuWith(const std::filesystem::path& library, const std::wstring& exe_path,
                           unsigned hardware_threads);

struct ProfileNames {
  std::wstring file_name;  // after the last '\' or '/'
  std::wstring stem;       // the file name without its extension
  std::wstring profile;    // stem + " Nvidia Profile"
};
ProfileNames NamesFor(std::wstring_view exe_path);

// Copies into a driver string field: UTF-16, at most `capacity - 1` units,
// never a lone half of a surrogate pair, always terminated.
void CopyToField(std::wstring_view text, std::uint16_t* field, std::size_t capacity);

}  // namespace internal

}  // namespace nvperfs
