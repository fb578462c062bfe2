// Writes a preformatted text to the log in a category, verbatim (no quotes,
// no added blanks), at info level. Used for lines whose text is built with
// fmt rather than streamed, such as the analytics debug line.
#pragma once

#include <fmt/format.h>

#include <QLoggingCategory>
#include <string>
#include <utility>

namespace common {

using LogCategory = const QLoggingCategory& (*)();

void WriteToLogImpl(const std::string& text, LogCategory category);

template <typename... Args>
void WriteToLog(LogCategory category, fmt::format_string<Args...> format, Args&&... args) {
  WriteToLogImpl(fmt::format(format, std::forward<Args>(args)...), category);
}

}  // namespace common
