// The program's own version, as the build wrote it into the executable: an
// ELF note named "Quarrion", type 1, holding four 32-bit numbers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace boot {

inline constexpr char kVersionNoteName[] = "Quarrion";
inline constexpr std::uint32_t kVersionNoteType = 1;

// The version note of a 64-bit little-endian ELF image held in `image`;
// nullopt when there is none or the image is malformed.
std::optional<std::array<std::uint32_t, 4>> ParseVersionNote(std::string_view image);

// What this build writes into its programs.
std::array<std::uint32_t, 4> BuiltVersion();

}  // namespace boot
