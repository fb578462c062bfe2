#include "platform/proc_parse.h"

#include <charconv>

namespace platform::proc {

namespace {

// Splits off the next blank-separated field; empty when none is left.
std::string_view NextField(std::string_view* rest) {
  const std::size_t start = rest->find_first_not_of(" \n");
  if (start == std::string_view::npos) {
    *rest = {};
    return {};
  }
  rest->remove_prefix(start);
  const std::size_t len = std::min(rest->find_first_of(" \n"), rest->size());
  std::string_view field = rest->substr(0, len);
  rest->remove_prefix(len);
  return field;
}

template <typename T>
bool ParseNumber(std::string_view field, T* out, int base = 10) {
  if (field.empty()) return false;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), *out, base);
  return ec == std::errc() && end == field.data() + field.size();
}

bool IsHexRange(std::string_view field) {
  const std::size_t dash = field.find('-');
  std::uint64_t ignored = 0;
  return dash != std::string_view::npos && ParseNumber(field.substr(0, dash), &ignored, 16) &&
         ParseNumber(field.substr(dash + 1), &ignored, 16);
}

// One maps line without its line end; false when it is not in the kernel's
// form or maps no file.
bool ParseMapsLine(std::string_view line, MappedFile* out) {
  if (!IsHexRange(NextField(&line))) return false;
  if (NextField(&line).size() != 4) return false;  // perms: "r-xp"
  std::uint64_t offset = 0;
  if (!ParseNumber(NextField(&line), &offset, 16)) return false;
  const std::string_view device = NextField(&line);
  const std::size_t colon = device.find(':');
  if (colon == std::string_view::npos ||
      !ParseNumber(device.substr(0, colon), &out->major, 16) ||
      !ParseNumber(device.substr(colon + 1), &out->minor, 16)) {
    return false;
  }
  if (!ParseNumber(NextField(&line), &out->inode) || out->inode == 0) return false;
  // The path is the rest after the padding, blanks inside it included.
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  const ImageLink link = ParseImageLink(line.substr(start), false);
  out->path = link.path;
  out->marked_deleted = link.marked_deleted;
  return true;
}

}  // namespace

std::optional<ProcStat> ParseProcStat(std::string_view text) {
  const std::size_t open = text.find(" (");
  const std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
    return std::nullopt;
  }
  ProcStat stat;
  if (!ParseNumber(text.substr(0, open), &stat.pid)) return std::nullopt;
  stat.comm = std::string(text.substr(open + 2, close - open - 2));

  std::string_view rest = text.substr(close + 1);
  const std::string_view state = NextField(&rest);
  if (state.size() != 1) return std::nullopt;
  stat.state = state[0];
  if (!ParseNumber(NextField(&rest), &stat.ppid)) return std::nullopt;
  long long ignored = 0;
  for (int field = 5; field <= 8; ++field) {  // pgrp session tty_nr tpgid
    if (!ParseNumber(NextField(&rest), &ignored)) return std::nullopt;
  }
  if (!ParseNumber(NextField(&rest), &stat.flags)) return std::nullopt;
  for (int field = 10; field <= 50; ++field) {
    const std::string_view value = NextField(&rest);
    if (value.empty()) break;
    unsigned long long number = 0;
    if (field == 50 && ParseNumber(value, &number)) stat.env_start = number;
  }
  return stat;
}

std::vector<std::string_view> SplitNulList(std::string_view text) {
  std::vector<std::string_view> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    entries.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

std::vector<std::optional<std::string>> FindEnvironmentValues(
    std::string_view environ_text, const std::vector<std::string_view>& names) {
  std::vector<std::optional<std::string>> values(names.size());
  for (const std::string_view entry : SplitNulList(environ_text)) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = entry.substr(0, equals);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!values[i] && name == names[i]) values[i] = std::string(entry.substr(equals + 1));
    }
  }
  return values;
}

std::string_view ProgramOfCommandLine(std::string_view cmdline) {
  return cmdline.substr(0, std::min(cmdline.find('\0'), cmdline.size()));
}

ImageLink ParseImageLink(std::string_view target, bool literal_exists) {
  if (!literal_exists && target.size() > kDeletedSuffix.size() && target.ends_with(kDeletedSuffix)) {
    return {target.substr(0, target.size() - kDeletedSuffix.size()), true};
  }
  return {target, false};
}

std::string_view FileNameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<MappedFile> ParseMappedFiles(std::string_view maps) {
  std::vector<MappedFile> files;
  for (std::size_t end = maps.find('\n'); end != std::string_view::npos; end = maps.find('\n')) {
    MappedFile file;
    if (ParseMapsLine(maps.substr(0, end), &file)) files.push_back(file);
    maps.remove_prefix(end + 1);
  }
  return files;
}

}  // namespace platform::proc
