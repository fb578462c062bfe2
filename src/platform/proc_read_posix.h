// Readers of one process's /proc entries that several POSIX backends share
// (process_posix.cpp holds them). Never included by a shared header.
#pragma once

#include <string>

namespace platform::posix {

// The target of a symbolic link; 0 or the errno.
int ReadLink(const std::string& link, std::string* target);

// The image name of the process whose /proc folder is `dir` ("/proc/42"):
// the file name of its image, or of argv[0] when the image link cannot be
// read (another user's process). Empty when neither can be read.
std::wstring ImageNameOf(const std::string& dir);

}  // namespace platform::posix
