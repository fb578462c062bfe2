#include "boot/executable_version.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "base/process.h"
#include "boot/crash_reporting.h"
#include "boot/product_version.h"

namespace boot {

namespace {

struct VersionNote {
  Elf64_Word name_size;
  Elf64_Word desc_size;
  Elf64_Word type;
  char name[12];  // "Quarrion\0", padded to 4 bytes
  std::uint32_t version[4];
};

// Kept by the linker because ReadExecutableVersion refers to it.
[[gnu::section(".note.quarrion.version"), gnu::used, gnu::aligned(4)]]
const VersionNote kVersionNote = {
    sizeof(kVersionNoteName), 16, kVersionNoteType, "Quarrion",
    {QUARRION_VERSION_MAJOR, QUARRION_VERSION_MINOR, QUARRION_VERSION_PATCH,
     QUARRION_VERSION_BUILD}};

template <typename T>
bool ReadAt(std::string_view image, std::uint64_t offset, T* out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(out, image.data() + offset, sizeof(T));
  return true;
}

std::uint64_t Align4(std::uint64_t value) { return (value + 3) & ~std::uint64_t{3}; }

std::optional<std::array<std::uint32_t, 4>> FindInNotes(std::string_view notes) {
  std::uint64_t at = 0;
  while (at + 12 <= notes.size()) {
    Elf64_Word name_size = 0, desc_size = 0, type = 0;
    ReadAt(notes, at, &name_size);
    ReadAt(notes, at + 4, &desc_size);
    ReadAt(notes, at + 8, &type);
    const std::uint64_t name_at = at + 12;
    const std::uint64_t desc_at = name_at + Align4(name_size);
    const std::uint64_t next = desc_at + Align4(desc_size);
    if (next > notes.size() || next <= at) return std::nullopt;
    const std::string_view name = notes.substr(name_at, name_size);
    if (type == kVersionNoteType && desc_size == 16 &&
        name == std::string_view(kVersionNoteName, sizeof(kVersionNoteName))) {
      std::array<std::uint32_t, 4> version {};
      std::memcpy(version.data(), notes.data() + desc_at, 16);
      return version;
    }
    at = next;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::array<std::uint32_t, 4>> ParseVersionNote(std::string_view image) {
  Elf64_Ehdr header {};
  if (!ReadAt(image, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
      header.e_shentsize != sizeof(Elf64_Shdr)) {
    return std::nullopt;
  }
  for (std::uint64_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section {};
    if (!ReadAt(image, header.e_shoff + i * sizeof(Elf64_Shdr), &section)) return std::nullopt;
    if (section.sh_type != SHT_NOTE) continue;
    if (section.sh_offset > image.size() || image.size() - section.sh_offset < section.sh_size) {
      return std::nullopt;
    }
    if (auto version = FindInNotes(image.substr(section.sh_offset, section.sh_size))) {
      return version;
    }
  }
  return std::nullopt;
}

std::array<std::uint32_t, 4> BuiltVersion() {
  return {kVersionNote.version[0], kVersionNote.version[1], kVersionNote.version[2],
          kVersionNote.version[3]};
}

std::optional<std::array<std::uint32_t, 4>> ReadExecutableVersion() {
  static_cast<void>(&kVersionNote);
  std::ifstream file(base::process::GetCurrentExeFullPath(), std::ios::binary);
  if (!file) return std::nullopt;
  const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return ParseVersionNote(image);
}

}  // namespace boot
