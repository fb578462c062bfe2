// Reading the text files the OS publishes about itself (/proc, /sys on Linux;
// files the probes read elsewhere). Probes read raw text here and hand it to a
// pure Parse...(std::string_view) that tests feed from fixture files.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/result.h"

namespace platform {

inline constexpr std::size_t kSystemTextLimit = 1 << 20;

// The whole file, up to `limit` bytes (pseudo-files report size 0, so it is
// read until its end). 2/3 when absent, 5 when not readable, other errors as
// they come; text cut at `limit` is returned as read (the caller's parser
// decides whether that is enough).
Result<std::string> ReadSystemText(const std::filesystem::path& path,
                                   std::size_t limit = kSystemTextLimit);

}  // namespace platform
